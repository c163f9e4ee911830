#include "engine/recipe.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/mask_language.h"
#include "engine/output_formats.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

// Written as a person would: comments, blanks, any letter case, a BOM, a Windows line end.
constexpr const char* kHandWritten =
    "\xEF\xBB\xBF; sizes for the blog\r\n"
    "\n"
    "[avif-960]\n"
    "  output_format = 7 \n"
    "selected_MODE=1\n"
    "Resize_width=960\n"
    "subfolder = ./web//960\n"
    "# a second output\n"
    "[Full]\n"
    "JPG_quality=95\n"
    "Font=Arial,0,255,12,0\n";

TEST(Recipe, HandWrittenFileReadsIntoOutputsWithTheTablesKeys) {
    const Recipe recipe = ParseRecipe(kHandWritten, "/x/blog.ini");
    EXPECT_EQ(recipe.name, "blog");
    ASSERT_EQ(recipe.outputs.size(), 2u);
    const RecipeOutput& web = recipe.outputs[0];
    EXPECT_EQ(web.name, "avif-960");
    ASSERT_EQ(web.changes.size(), 3u);
    EXPECT_EQ(web.changes[0], (std::pair<std::string, std::string>{"Output_format", "7"}));
    EXPECT_EQ(web.changes[1].first, "Selected_mode") << "keys take the option table's spelling";
    EXPECT_EQ(web.subfolder, "web/960/");
    EXPECT_EQ(recipe.outputs[1].subfolder, "");
    ASSERT_NE(recipe.outputs[1].Change("font"), nullptr);
    EXPECT_EQ(*recipe.outputs[1].Change("FONT"), "Arial,0,255,12,0");

    // Written and read back, a recipe is the same recipe.
    const Recipe again = ParseRecipe(RecipeText(recipe), "blog.ini");
    ASSERT_EQ(again.outputs.size(), recipe.outputs.size());
    for (std::size_t i = 0; i < again.outputs.size(); ++i) {
        EXPECT_EQ(again.outputs[i].name, recipe.outputs[i].name);
        EXPECT_EQ(again.outputs[i].changes, recipe.outputs[i].changes);
        EXPECT_EQ(again.outputs[i].subfolder, recipe.outputs[i].subfolder);
    }
}

TEST(Recipe, DamagedFilesAreRefusedNamingFileSectionAndKey) {
    struct Case {
        const char* text;
        std::vector<std::string> said;  // every piece the message must hold
    };
    const Case cases[] = {
        {"[a]\nQuality=80\n", {"r.ini", "line 2", "[a]", "key Quality", "not an option"}},
        {"[a]\nJPG_quality=180\n", {"line 2", "[a]", "key JPG_quality", "outside 1 to 100"}},
        {"[a]\nExif=yes\n", {"[a]", "key Exif", "not a number"}},
        {"[a]\nBackground_colour=#12\n", {"key Background_colour", "colour"}},
        {"[a]\nThreads=2\n", {"key Threads", "whole run"}},
        {"[a]\nOutput_path=/tmp\n", {"key Output_path", "whole run"}},
        {"[a]\nAuto_rotate=0\n", {"key Auto_rotate", "whole run"}},
        {"[a]\nLanguage=Russian\n", {"key Language", "window"}},
        {"[a]\nJPG_quality=80\njpg_quality=70\n", {"line 3", "given twice"}},
        {"[a]\n[A]\n", {"line 2", "[A]", "second output"}},
        {"[a/b]\n", {"line 1", "cannot hold"}},
        {"[a]\nSubfolder=../up\n", {"key Subfolder", "below the output folder"}},
        {"[a]\nSubfolder=/etc\n", {"key Subfolder", "below the output folder"}},
        {"[a]\njust words\n", {"line 2", "[a]", "not KEY=VALUE"}},
        {"JPG_quality=80\n[a]\n", {"line 1", "key JPG_quality", "section"}},
        {"[a\n", {"line 1", "]"}},
        {"; nothing but a comment\n", {"r.ini", "no outputs"}},
    };
    for (const Case& c : cases) {
        try {
            ParseRecipe(c.text, "r.ini");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const RecipeError& e) {
            const std::string message = e.what();
            for (const std::string& piece : c.said) EXPECT_NE(message.find(piece), std::string::npos) << message;
        }
    }
}

TEST(Recipe, OutputsInheritTheRunsOptionsAndNameThemselves) {
    ConversionOptions run = DefaultConversionOptions();
    run.jpegQuality = 70;
    run.webpQuality = 55;
    run.renameMask = "[N]-[o][E]";
    run.textStampMask = "[O] by me";
    run.resamplingFilter = 2;
    RecipeOutput output;
    output.name = "small";
    output.changes = {{"Output_format", std::to_string(FindOutputFormat("WEBP")->number)}, {"WEBP_quality", "90"},
                      {"Selected_mode", "1"}, {"Resize_width", "480"}};
    const ConversionOptions options = OutputOptions(run, output);
    EXPECT_EQ(options.outputFormat, FindOutputFormat("WEBP")->number);
    EXPECT_EQ(options.webpQuality, 90) << "changed";
    EXPECT_EQ(options.resizeWidth, 480);
    EXPECT_EQ(options.jpegQuality, 70) << "inherited from the run, not the defaults";
    EXPECT_EQ(options.resamplingFilter, 2);
    EXPECT_EQ(options.renameMask, "[N]-small[E]") << "[O] is the output's name, any letter case";
    EXPECT_EQ(options.textStampMask, "small by me");

    // A run's single output has no name: [O] stands for nothing there.
    MaskSubject subject;
    subject.sourcePath = "/p/a.png";
    subject.destinationPath = "/o/a.png";
    subject.now = QDateTime(QDate(2000, 1, 1), QTime(0, 0));
    EXPECT_EQ(ExpandMask("[N]-[O][E]", subject, MaskKind::Rename,
                         MaskDateConventions::FromPatterns(QLocale::c(), "dd.MM.yyyy", "HH:mm"), 3),
              "a-.png");

    // Changes apply in order: a later one wins, and an empty value inherits again.
    output.SetChange("webp_quality", "30");
    EXPECT_EQ(OutputOptions(run, output).webpQuality, 30);
    output.SetChange("WEBP_quality", "");
    EXPECT_EQ(OutputOptions(run, output).webpQuality, 55);
}

TEST(Recipe, OneDecodingServesTheOutputThatNeedsTheMostPixels) {
    ConversionOptions small = DefaultConversionOptions(), large = small;
    for (ConversionOptions* o : {&small, &large}) {
        o->fastJpegDownscale = true;
        o->resizeMode = 1;
        o->resizeHeight = 99999;
    }
    small.resizeWidth = 480;
    large.resizeWidth = 1000;
    const StoredSize photo{8000, 6000};
    ASSERT_EQ(DecodeReductionFor(photo, 1, small), 8);
    ASSERT_EQ(DecodeReductionFor(photo, 1, large), 4);
    const DecodeReductionFn both = SmallestDecodeReduction({&small, &large});
    ASSERT_TRUE(both);
    EXPECT_EQ(both(photo, 1), 4);
    EXPECT_EQ(SmallestDecodeReduction({&small})(photo, 1), 8);

    ConversionOptions exact = large;
    exact.fastJpegDownscale = false;
    EXPECT_FALSE(SmallestDecodeReduction({&small, &exact})) << "one exact output: the whole picture is decoded";
}

TEST(Recipe, FoundByNameInTheUsersFolderFirstOrByPath) {
    test::TempDir dir;
    const std::string user = dir / "user/", shipped = dir / "shipped/";
    std::filesystem::create_directories(user);
    std::filesystem::create_directories(shipped);
    std::ofstream(shipped + "web.ini") << "[a]\nJPG_quality=80\n";
    std::ofstream(shipped + "email.ini") << "[a]\nJPG_quality=80\n";
    std::ofstream(user + "web.ini") << "[mine]\nJPG_quality=60\n";
    std::ofstream(user + "notes.txt") << "not a recipe";
    const std::vector<std::string> folders{user, shipped};

    EXPECT_EQ(FindRecipeFile("web", folders), user + "web.ini");
    EXPECT_EQ(FindRecipeFile("email", folders), shipped + "email.ini");
    EXPECT_EQ(FindRecipeFile(shipped + "web.ini", folders), shipped + "web.ini");
    EXPECT_THROW(FindRecipeFile("print", folders), RecipeError);
    EXPECT_THROW(FindRecipeFile(dir / "none.ini", folders), RecipeError);

    const auto listed = ListRecipes(folders);
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0], (std::pair<std::string, std::string>{"email", shipped + "email.ini"}));
    EXPECT_EQ(listed[1], (std::pair<std::string, std::string>{"web", user + "web.ini"}));

    // Saved and loaded through a file: the same outputs, named after the file.
    Recipe recipe = LoadRecipe(user + "web.ini");
    recipe.outputs[0].subfolder = "sub/";
    SaveRecipe(recipe, user + "copy.ini");
    const Recipe copy = LoadRecipe(user + "copy.ini");
    EXPECT_EQ(copy.name, "copy");
    EXPECT_EQ(copy.outputs[0].changes, recipe.outputs[0].changes);
    EXPECT_EQ(copy.outputs[0].subfolder, "sub/");
    // A recipe that could not be read back is not written.
    recipe.outputs[0].changes.emplace_back("JPG_quality", "0");
    EXPECT_THROW(SaveRecipe(recipe, user + "copy.ini"), Error);
    EXPECT_EQ(LoadRecipe(user + "copy.ini").outputs[0].changes, copy.outputs[0].changes);
}

TEST(Recipe, ShippedRecipesAreValid) {
    const auto listed = ListRecipes({std::string(ZELVAN_SOURCE_DIR) + "/data/recipes/"});
    ASSERT_GE(listed.size(), 3u);
    for (const auto& [name, path] : listed) EXPECT_NO_THROW(LoadRecipe(path)) << path;
}

}  // namespace
}  // namespace zelvan
