#include "jobs/language.h"

#include <array>
#include <optional>

#include "base/file_io.h"

namespace zelvan {

namespace {

std::string InFolder(std::string folder, const char* name) {
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + name;
}

constexpr std::array kFixedKeys{
    // File list (column captions) and the option pages' lists, items separated by ";".
    "PathColumn", "NameColumn", "TypeColumn", "SizeColumn", "ImgSizeColumn", "FilterList", "PositionList", "ColourProfileList",
    "MetadataList", "TargetModeList",
    // Message captions and texts, folder browser titles.
    "Confirmation", "ExitConfirmation", "ClearFilelist", "FilelistEmpty", "Cancelled!", "Error", "Information",
    "AddDir", "SelectDir", "OpenByHand",
    // Convert, the progress window and the run's summary.
    "NoFiles", "DirectoryCreateError", "FolderHasTokens", "Progressform", "progressformPngBitBtn1CaptionCancel",
    "progressformPngBitBtn1CaptionClose", "Stopping...", "KiB", "MiB", "second", "AllProcessed",
    "CancelledRunSummary", "FileAlreadyExists", "NoMemoryForImage", "NoMemoryToDecode", "NoMemoryForColours",
    "NoMemoryToEncode", "NotARegularFile", "SameOutputAs", "CannotOpenFile", "CannotReadFile", "CannotCreateFile",
    "CannotWriteFile",
    // The update check.
    "Update", "UpToDate", "UpdateCheckError", "UpdateReq",
    // Recipes: the output page's chooser and the recipe editor.
    "RecipeCaption", "RecipeSingleOutput", "RecipeNew", "RecipeEdit", "RecipeDuplicate", "RecipeDelete", "RecipeImport",
    "RecipeExport", "RecipeNewName", "RecipeEditorTitle", "RecipeAddOutput", "RecipeRemoveOutput",
    "RecipeOutputNameCaption", "RecipeSubfolderCaption", "RecipeInheritedHint", "RecipeChangesCaption", "RecipeNoChanges",
};

constexpr std::array kWindowKeys{
    // Main window: labels.
    "ZelvanMainformLabel1", "ZelvanMainformLabel2", "ZelvanMainformLabel5", "ZelvanMainformLabel6",
    "ZelvanMainformLabel7", "ZelvanMainformLabel8", "ZelvanMainformLabel10", "ZelvanMainformLabel11",
    "ZelvanMainformLabel14", "ZelvanMainformLabel15", "ZelvanMainformLabel16", "ZelvanMainformLabel20",
    "ZelvanMainformLabel28",
    "ZelvanMainformLabel22", "ZelvanMainformLabel23", "ZelvanMainformLabel24",
    // Check boxes and their hints.
    "ZelvanMainformCheckBox1", "ZelvanMainformCheckBox1Hint", "ZelvanMainformCheckBox2",
    "ZelvanMainformCheckBox2Hint", "ZelvanMainformCheckBox3", "ZelvanMainformCheckBox3Hint",
    "ZelvanMainformCheckBox4", "ZelvanMainformCheckBox4Hint", "ZelvanMainformCheckBox5",
    "ZelvanMainformCheckBox5Hint", "ZelvanMainformCheckBox6", "ZelvanMainformCheckBox6Hint",
    "ZelvanMainformCheckBox7", "ZelvanMainformCheckBox7Hint", "ZelvanMainformCheckBox19",
    "ZelvanMainformCheckBox19Hint", "ZelvanMainformCheckBox8",
    "ZelvanMainformCheckBox8Hint", "ZelvanMainformCheckBox9", "ZelvanMainformCheckBox9Hint",
    "ZelvanMainformCheckBox10", "ZelvanMainformCheckBox10Hint", "ZelvanMainformCheckBox11",
    "ZelvanMainformCheckBox11Hint", "ZelvanMainformCheckBox12", "ZelvanMainformCheckBox12Hint",
    "ZelvanMainformCheckBox14", "ZelvanMainformCheckBox14Hint", "ZelvanMainformCheckBox15",
    "ZelvanMainformCheckBox15Hint", "ZelvanMainformLabel26", "ZelvanMainformComboBox6Hint",
    "ZelvanMainformLabel27", "ZelvanMainformPngBitBtn8Hint", "ZelvanMainformLabel38", "ZelvanMainformComboBox7Hint",
    // The WebP, AVIF and JPEG XL page.
    "ZelvanMainformGroupBox4", "ZelvanMainformLabel29", "ZelvanMainformTrackBar4Hint", "ZelvanMainformLabel31",
    "ZelvanMainformSpinEdit7Hint", "ZelvanMainformCheckBox16", "ZelvanMainformCheckBox16Hint",
    "ZelvanMainformGroupBox5", "ZelvanMainformLabel32", "ZelvanMainformTrackBar5Hint", "ZelvanMainformLabel34",
    "ZelvanMainformSpinEdit8Hint", "ZelvanMainformGroupBox6", "ZelvanMainformLabel35", "ZelvanMainformTrackBar6Hint",
    "ZelvanMainformLabel37", "ZelvanMainformSpinEdit9Hint", "ZelvanMainformCheckBox17", "ZelvanMainformCheckBox17Hint",
    "ZelvanMainformCheckBox18", "ZelvanMainformCheckBox18Hint",
    "ZelvanMainformCheckBox20", "ZelvanMainformCheckBox20Hint", "ZelvanMainformCheckBox21",
    "ZelvanMainformCheckBox21Hint", "ZelvanMainformCheckBox22", "ZelvanMainformCheckBox22Hint",
    "ZelvanMainformCheckBox23", "ZelvanMainformCheckBox23Hint", "ZelvanMainformGroupBox18", "ZelvanMainformLabel39",
    "ZelvanMainformComboBox18Hint", "ZelvanMainformSpinEdit18Hint", "ZelvanMainformSpinEdit19Hint", "ZelvanMainformLabel40",
    // Buttons, the resize group and its radio buttons, the option pages.
    "ZelvanMainformCloseButton", "ZelvanMainformPngBitBtn2", "ZelvanMainformPngBitBtn2Hint", "ZelvanMainformPngBitBtn3", "ZelvanMainformPngBitBtn4",
    "ZelvanMainformPngBitBtn5", "ZelvanMainformPngBitBtn6", "ZelvanMainformPngBitBtn7", "ZelvanMainformGroupBox3",
    "ZelvanMainformNoResizeRadioButton", "ZelvanMainformChangeSizeRadioButton",
    "ZelvanMainformChangeSizePercentRadioButton", "ZelvanMainformTabSheet1", "ZelvanMainformTabSheet2",
    "ZelvanMainformTabSheet8", "ZelvanMainformTabSheet13", "ZelvanMainformTabSheet4", "ZelvanMainformTabSheet6", "ZelvanMainformTabSheet12",
    "ZelvanMainformTabSheet7",
    // Spin box and tool-bar hints.
    "ZelvanMainformSpinEdit1Hint", "ZelvanMainformSpinEdit2Hint", "ZelvanMainformSpinEdit3Hint",
    "ZelvanMainformSpinEdit4Hint", "ZelvanMainformSpinEdit5Hint", "ZelvanMainformToolButton1Hint",
    "ZelvanMainformToolButton2Hint", "ZelvanMainformToolButton4Hint", "ZelvanMainformToolButton5Hint",
    // Main menu and the file list's menu.
    "ZelvanMainformN1", "ZelvanMainformN17", "ZelvanMainformN18", "ZelvanMainformN10", "ZelvanMainformN2",
    "ZelvanMainformN3", "ZelvanMainformN15", "ZelvanMainformN4", "ZelvanMainformLanguage1", "ZelvanMainformN126",
    "ZelvanMainformN14", "ZelvanMainformN5", "ZelvanMainformN6", "ZelvanMainformN12546", "ZelvanMainformN8",
    // The rename mask's variable menu.
    "ZelvanMainformNTheoriginalfilename1", "ZelvanMainformEFileextension1",
    "ZelvanMainformWThewidthoftheimageinpixels1", "ZelvanMainformHImageheightinpixels1",
    "ZelvanMainformCurrenttime2", "ZelvanMainformDCurrentDate1", "ZelvanMainformCFilecounter1",
    "ZelvanMainformFCDFilecreationdate1", "ZelvanMainformFCTFilecreationtime1",
    // The text stamp's variable menu and its symbols.
    "ZelvanMainformCurrentdate1", "ZelvanMainformCurrenttime1", "ZelvanMainformFilecreationdate1",
    "ZelvanMainformFilecreationtime1", "ZelvanMainformFilename1", "ZelvanMainformExtension1",
    "ZelvanMainformWidth1", "ZelvanMainformHeight1", "ZelvanMainformCounter1", "ZelvanMainformExifdate1",
    "ZelvanMainformExiftime1", "ZelvanMainformAddsymbol1", "ZelvanMainformN25", "ZelvanMainformRegistered1",
    "ZelvanMainformrademark1",
    // The add-files dialog's title.
    "ZelvanMainformOpenDialog",
    // Progress window.
    "Progressform", "ProgressformLabel3", "ProgressformLabel9", "ProgressformLabel5", "ProgressformLabel7",
    "ProgressformLabel1", "ProgressformPngBitBtn1", "ProgressformPngBitBtn2",
    // Statistics window; the hints tell what the totals count.
    "Statisticsform", "StatisticsformGroupBox1", "StatisticsformLabel1", "StatisticsformLabel1Hint",
    "StatisticsformLabel2Hint", "StatisticsformLabel3", "StatisticsformLabel3Hint", "StatisticsformLabel4Hint",
    "StatisticsformPngBitBtn1",
    // About window.
    "AboutForm", "AboutFormLabel3", "AboutFormLabel6", "AboutFormLabel6Hint", "AboutFormPngBitBtn1",
};

}  // namespace

std::string FindLanguageFile(const std::string& programFolder, const std::string& dataFolder) {
    for (const std::string* folder : {&programFolder, &dataFolder}) {
        if (folder->empty()) continue;
        std::string path = InFolder(*folder, "lang.ini");
        if (FileExists(path)) return path;
    }
    return {};
}

std::string LanguageFile::LookupText(std::string_view key) const {
    std::optional<std::string> text = ini_.Value(current_, key);
    return text ? *text : std::string(kTextNotFound);
}

std::string LanguageFile::WindowText(std::string_view language, std::string_view key,
                                     std::string_view fallback) const {
    std::optional<std::string> text = ini_.Value(language, key);
    return text ? *text : std::string(fallback);
}

std::span<const char* const> FixedTextKeys() { return kFixedKeys; }
std::span<const char* const> WindowTextKeys() { return kWindowKeys; }

}  // namespace zelvan
