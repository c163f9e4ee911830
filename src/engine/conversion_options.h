#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zelvan {

class IniFile;

struct TextFont {
    std::string face = "Times New Roman";
    int charset = 204;
    std::int32_t colour = 0xFFFFFF;  // red in the low byte
    int sizePoints = 26;
    int style = 0;  // 1 bold, 2 italic, 4 underline, 8 strike-out
};

// Every conversion setting, one field per option of the option table below, which gives each its
// settings key, its default and its range. Constant while a run is in progress: a run works on
// its own copy.
struct ConversionOptions {
    // The table's defaults, with those that depend on the machine at their fixed stand-ins (one
    // thread, no output folder, a 1920 x 1080 box): DefaultConversionOptions fills those in.
    ConversionOptions();

    int threads;
    int outputFormat;  // a number of the output format registry
    std::string outputFolder;
    bool overwrite;
    bool autoFormat;  // keep the smaller of JPEG and PNG
    int jpegQuality;
    bool jpegProgressive;
    int pngCompression;
    bool pngInterlace;
    bool pngAllFilters;  // choose among all five row filters, else None only
    int jpeg2000Quality;
    bool jpeg2000Lossless;
    int webpQuality;
    bool webpLossless;
    int webpEffort;  // 0 fastest to 6 smallest
    int avifQuality;
    int avifSpeed;  // 0 slowest and smallest to 10 fastest
    int jxlQuality;
    bool jxlLossless;
    int jxlEffort;  // 1 fastest to 9 smallest
    // A JPEG source whose pixels nothing changes is recompressed losslessly (its JPEG can be
    // rebuilt bit for bit), unless a JPEG XL quality below 100 was asked for (JxlQualityAsked);
    // given explicitly (jxlRecompressGiven) it recompresses such a source whatever the quality.
    bool jxlRecompressJpeg;
    // Whether JXL_quality and JXL_recompress_jpeg were given explicitly (--set, -q, a --settings
    // file) rather than left at their defaults; set by SetOption, never written to Settings.ini.
    bool jxlQualityGiven = false;
    bool jxlRecompressGiven = false;
    int resizeMode;  // 0 none, 1 to the box (fitted or stretched), 2 by percent
    int resizeWidth;
    int resizeHeight;
    bool keepProportions;
    bool enlargeSmaller;
    bool smartCrop;
    int resizePercent;
    int resamplingFilter;
    bool renameEnabled;
    std::string renameMask;
    int counterDigits;
    bool textStampEnabled;
    std::string textStampMask;
    int textPosition;
    TextFont textFont;
    bool textShadow;
    int textOpacity;
    bool keepExif;
    int metadata;  // a MetadataChoice: which of the source's metadata the outputs carry
    bool autoRotate;  // turn the pixels by the source's EXIF orientation
    int colourProfile;  // a ColourProfileChoice
    // What shows through transparent areas in outputs without alpha: 0xRRGGBB.
    int backgroundColour;
    // A JPEG source that the resize makes much smaller is decoded at 1/2, 1/4 or 1/8 of its size
    // (still at least twice the target), then resized as usual: faster, very slightly different.
    bool fastJpegDownscale;
    // Baseline JPEGs with Huffman tables made for the picture (the same pixels, fewer bytes);
    // off: the standard tables.
    bool jpegOptimizedTables;
    // GIF outputs of true-colour pictures in a palette of their own with error diffusion; off: the
    // fixed 216-colour cube.
    bool gifAdaptivePalette;
    // PNG outputs of true-colour pictures in an adaptive palette of up to 256 colours (lossy).
    bool pngPalette;
    // PNG outputs in the smallest layout that keeps every pixel (grey, palette, no opaque alpha);
    // off: the layout the picture has.
    bool pngReduceLayout;
    // Instead of the format's quality, search the quality for a goal (a TargetModeChoice of
    // engine/target_encoding.h): at most targetSizeKiB KiB, or a visual quality of targetScore.
    int targetMode;
    int targetSizeKiB;
    int targetScore;  // a SSIMULACRA 2 score, 1 to 100
    // Set by a target search only, never written: tenths (0 to 9) added to the JPEG, WebP or JPEG
    // XL quality, so that a target lands closer than whole steps allow.
    int qualityTenths = 0;
    // Outputs named with the format's extension in lower case ("photo.png"), as the command line
    // names them by default; off: as the format table spells it ("photo.PNG").
    bool lowerCaseExtension;
    // What the run's jobs may take together by their estimates, in MiB; 0: three quarters of the
    // machine's memory.
    int memoryBudgetMiB;
};

// What happens to a source's embedded ICC profile (the option Colour_profile).
enum ColourProfileChoice : int {
    kKeepColourProfile = 0,       // carried where the output can; other outputs converted to sRGB
    kConvertToSrgb = 1,           // pixels converted to sRGB, no profile carried
    kStripColourProfile = 2,      // pixels unchanged, no profile carried
};

// Whether a JPEG XL quality was asked for: given explicitly, or moved off its default (the JPEG XL
// page's control), and below 100 (lossless, which recompression is too).
bool JxlQualityAsked(const ConversionOptions& options);

// Which of the source's metadata travels into the outputs (the option Metadata).
enum MetadataChoice : int {
    kAllMetadata = 0,              // every tag, as before
    kMetadataWithoutLocation = 1,  // all but the GPS tags and the XMP packet's location
    kMinimalMetadata = 2,          // copyright, artist, camera maker and model, the dates
    kNoMetadata = 3,               // nothing, not even the JPEG outputs' Software and date
};

// The defaults of a fresh start: the processor count, the user's output folder and the screen
// size (1920 x 1080 where there is no screen).
ConversionOptions DefaultConversionOptions(int screenWidth = 1920, int screenHeight = 1080);

// One row of the option table: everything about one key of the settings file's "Settings"
// section (and the font of "Text_Font"). The table is the one place an option is declared: the
// struct's defaults, reading and writing Settings.ini (in table order), the command line's
// --set, the option pages' controls, their ranges and defaults all come from it.
struct OptionInfo {
    enum class Kind {
        Integer,
        Boolean,
        Text,
        Font,    // key "Font" of the "Text_Font" section, "Face,charset,colour,points,style"
        Colour,  // an integer 0xRRGGBB, written "#RRGGBB"
        Window,  // the main window's own state, kept in the same section; not a conversion option
    };
    // Values that depend on the machine or the registry rather than on the table.
    enum class Computed {
        None,
        Processors,     // Threads: the default and the maximum are the processor count
        OutputFolder,   // the user's home folder + "/zelvan-output/"
        ScreenWidth,    // the resize box's default: the screen's size
        ScreenHeight,
        OutputFormats,  // Output_format: the maximum is the registry's last number
    };

    const char* key;
    Kind kind;
    int defaultValue = 0;  // Integer, Colour and Boolean (0 or 1)
    int minimum = 0;       // Integer
    int maximum = 0;
    const char* defaultText = "";  // Text and Font
    // The field it fills: one of these, by kind; none for Window rows.
    int ConversionOptions::*integer = nullptr;  // Integer and Colour
    bool ConversionOptions::*boolean = nullptr;
    std::string ConversionOptions::*text = nullptr;
    TextFont ConversionOptions::*font = nullptr;
    // The index of an item in a list. A settings file's value outside the list keeps the
    // default; other integers out of range are brought to the nearer end, as their sliders and
    // spin boxes would show them.
    bool listIndex = false;
    Computed computed = Computed::None;
    // The objectName of the control on the option pages that shows it; nullptr for none.
    const char* control = nullptr;

    bool IsOption() const { return kind != Kind::Window; }
};

// Every row in the order Settings.ini is written.
std::span<const OptionInfo> OptionTable();
// The option (not Window row) with this key, letter case ignored; nullptr for none.
const OptionInfo* FindOption(std::string_view key);
// The row of a key of the "Settings" section, a Window row included; nullptr for none.
const OptionInfo* FindSettingsKey(std::string_view key);

// The range an integer option accepts (Threads: 1 to the processor count).
std::pair<int, int> OptionRange(const OptionInfo& info);
// The default of an Integer or Boolean option, the machine-dependent ones included.
int OptionDefault(const OptionInfo& info);

// Sets one option from its settings-file text. Throws Error with a message for the user when
// the key is unknown, the text is not a value of the option's kind or it is out of range.
void SetOption(ConversionOptions& options, std::string_view key, std::string_view value);

// The option's value as the settings file writes it: decimal, "1"/"0", "#RRGGBB", or the text
// unchanged.
std::string OptionText(const ConversionOptions& options, const OptionInfo& info);

// Reads the "Settings" and "Text_Font" sections by the settings file's own rules: an absent key
// or a value that is not a number keeps the value already in `options` (the defaults), a number
// out of range is brought into range (see OptionInfo::listIndex), "Threads" above the processor
// count is reduced to it, and "Text_opacity" is not read: it is always 100.
void ReadSettingsOptions(ConversionOptions& options, const IniFile& ini);

// The command line's --settings: the same sections, strictly. Throws Error for a key of the
// "Settings" section that the option table does not know, and for a value
// SetOption refuses; only a "Threads" above the processor count is reduced, as the file's rules
// say. The font follows ReadFontSetting.
void ApplySettingsFile(ConversionOptions& options, const IniFile& ini);

// A colour written "#RRGGBB" (the "#" may be left out), as 0xRRGGBB; nothing for other text.
std::optional<int> ParseColourText(std::string_view text);
std::string ColourText(int rgb);

// "Face,charset,colour,points,style", parsed from the left: a field counts only when a comma
// follows it (the style, last, when text follows the fourth comma); an empty field changes
// nothing; parsing stops at the first field that is not a number. A value without a comma
// changes nothing at all.
void ApplyFontSetting(TextFont& font, std::string_view value);
// Key "Font" of `section`; an absent key changes nothing.
void ReadFontSetting(const IniFile& ini, std::string_view section, TextFont& font);
std::string FontSettingText(const TextFont& font);
void WriteFontSetting(IniFile& ini, std::string_view section, const TextFont& font);

int ProcessorCount();

}  // namespace zelvan
