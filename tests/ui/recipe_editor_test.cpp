#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QPushButton>
#include <QSlider>

#include <filesystem>
#include <fstream>

#include "engine/output_formats.h"
#include "engine/recipe.h"
#include "jobs/language.h"
#include "support/test_support.h"
#include "ui/option_pages.h"
#include "ui/recipe_chooser.h"
#include "ui/recipe_editor.h"

namespace zelvan {
namespace {

template <typename T>
T* Control(QWidget* in, const char* name) {
    T* control = in->findChild<T*>(name);
    if (!control) throw std::runtime_error(std::string("no control ") + name);
    return control;
}

Recipe TwoOutputs() {
    return ParseRecipe("[small]\nOutput_format=6\nSelected_mode=1\nResize_width=480\n\n[big]\nJPG_quality=60\n"
                       "Subfolder=big\n",
                       "two.ini");
}

ConversionOptions RunOptions() {
    ConversionOptions run = DefaultConversionOptions();
    run.jpegQuality = 77;
    run.webpQuality = 33;
    run.renameMask = "[N]-[O][E]";
    return run;
}

TEST(RecipeEditor, ShowsEachOutputOverTheRunsOptionsAndKeepsOnlyWhatDiffers) {
    const LanguageFile none;
    RecipeEditor editor(TwoOutputs(), RunOptions(), none);
    ASSERT_EQ(editor.OutputList()->count(), 2);
    ConversionOptions shown = editor.Pages()->Options();
    EXPECT_EQ(shown.outputFormat, 6) << "the output's change";
    EXPECT_EQ(shown.resizeWidth, 480);
    EXPECT_EQ(shown.webpQuality, 33) << "inherited from the run, and visible";
    EXPECT_EQ(shown.renameMask, "[N]-[O][E]") << "the mask as written, [O] a token";
    EXPECT_TRUE(editor.ChangesLabel()->text().contains("Output_format=6")) << editor.ChangesLabel()->text().toStdString();
    EXPECT_FALSE(Control<QWidget>(editor.Pages(), "SpinEdit1")->isEnabled()) << "Threads belong to the whole run";

    editor.ChooseOutput(1);
    EXPECT_EQ(editor.Pages()->Options().jpegQuality, 60);
    EXPECT_EQ(editor.Pages()->Options().outputFormat, RunOptions().outputFormat);
    EXPECT_EQ(editor.SubfolderEdit()->text(), "big/");
    Control<QSlider>(editor.Pages(), "TrackBar1")->setValue(90);
    editor.NameEdit()->setText("large");
    editor.ChooseOutput(0);

    const Recipe edited = editor.EditedRecipe();
    ASSERT_EQ(edited.outputs.size(), 2u);
    EXPECT_EQ(edited.outputs[0].changes, TwoOutputs().outputs[0].changes) << "showing an output changes nothing";
    EXPECT_EQ(edited.outputs[1].name, "large");
    EXPECT_EQ(edited.outputs[1].changes, (std::vector<std::pair<std::string, std::string>>{{"JPG_quality", "90"}}));
    EXPECT_EQ(edited.outputs[1].subfolder, "big/");

    editor.AddOutput();
    EXPECT_EQ(editor.EditedRecipe().outputs.size(), 3u);
    EXPECT_TRUE(editor.EditedRecipe().outputs[2].changes.empty()) << "a new output inherits everything";
    editor.RemoveOutput();
    EXPECT_EQ(editor.EditedRecipe().outputs.size(), 2u);
}

TEST(RecipeEditor, LooksRightInBothLanguages) {
    LanguageFile texts = LanguageFile::Load(std::string(ZELVAN_SOURCE_DIR) + "/lang.ini");
    for (const char* language : {"English", "Russian"}) {
        texts.SetCurrentLanguage(language);
        RecipeEditor editor(TwoOutputs(), RunOptions(), texts);
        editor.show();
        EXPECT_NE(editor.ChangesLabel()->text().toStdString().find(texts.LookupText("RecipeChangesCaption")),
                  std::string::npos);
        // Everything fits in the size the window opens at.
        EXPECT_LE(editor.minimumSizeHint().width(), editor.width()) << language;
        EXPECT_LE(editor.minimumSizeHint().height(), editor.height()) << language;
        const QPixmap shot = editor.grab();
        ASSERT_FALSE(shot.isNull());
        EXPECT_TRUE(shot.save(QString::fromStdString(std::string(ZELVAN_BUILD_DIR) + "/recipe_editor_" + language + ".png")));
    }
}

TEST(RecipeChooser, ListsSavesImportsAndRefusesClashes) {
    test::TempDir dir;
    const std::string user = dir / "user/", shipped = dir / "shipped/";
    std::filesystem::create_directories(user);
    std::filesystem::create_directories(shipped);
    std::ofstream(shipped + "web.ini") << "[w]\nOutput_format=6\n";
    RecipeChooser chooser;
    chooser.SetFolders({user, shipped});
    chooser.SetRunOptions([] { return RunOptions(); });
    QStringList complaints;
    chooser.SetComplainer([&](const QString& message) { complaints << message; });
    ASSERT_EQ(chooser.List()->count(), 2);
    EXPECT_EQ(chooser.ChosenRecipe(), "") << "the single output first";

    chooser.ChooseRecipe("web");
    EXPECT_FALSE(Control<QPushButton>(&chooser, "RecipeDelete")->isEnabled()) << "a shipped recipe stays";

    // New: named, edited (an output added), saved in the user's folder and chosen.
    chooser.SetNameAsker([](QWidget*, const QString&, const QString&) { return QString("mine"); });
    chooser.SetEditorRunner([](RecipeEditor& editor) {
        editor.AddOutput();
        editor.SubfolderEdit()->setText("second");
        return true;
    });
    chooser.NewRecipe();
    EXPECT_EQ(chooser.ChosenRecipe(), "mine");
    EXPECT_EQ(LoadRecipe(user + "mine.ini").outputs.size(), 2u);
    EXPECT_TRUE(Control<QPushButton>(&chooser, "RecipeDelete")->isEnabled());

    // Import refuses a damaged file and copies nothing.
    std::ofstream(dir / "bad.ini") << "[a]\nNoSuchKey=1\n";
    chooser.SetFileAskers([&](QWidget*, const QString&) { return QString::fromStdString(dir / "bad.ini"); }, {});
    chooser.ImportRecipe();
    EXPECT_FALSE(std::filesystem::exists(user + "bad.ini"));
    ASSERT_EQ(complaints.size(), 1);
    EXPECT_TRUE(complaints[0].contains("bad.ini, line 2, [a], key NoSuchKey")) << complaints[0].toStdString();

    // Two outputs of one source on one path: refused before the run.
    std::ofstream(user + "clash.ini") << "[a]\nOutput_format=1\n[b]\nOutput_format=1\nPNG_compression=1\n";
    chooser.Refresh();
    chooser.ChooseRecipe("clash");
    ConversionOptions run = RunOptions();
    run.renameEnabled = false;
    run.outputFolder = dir / "out/";
    EXPECT_THROW(chooser.OutputsFor(run, {dir / "a.png"}), Error);
    chooser.ChooseRecipe("mine");
    EXPECT_EQ(chooser.OutputsFor(run, {dir / "a.png"})->size(), 2u);
    chooser.ChooseRecipe("");
    EXPECT_EQ(chooser.OutputsFor(run, {dir / "a.png"}), nullptr);

    chooser.DeleteRecipe();  // nothing chosen: nothing deleted
    chooser.ChooseRecipe("mine");
    chooser.DeleteRecipe();
    EXPECT_FALSE(std::filesystem::exists(user + "mine.ini"));
}

}  // namespace
}  // namespace zelvan
