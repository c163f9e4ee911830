#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QFontDialog>
#include <QFontInfo>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

#include "engine/conversion_options.h"
#include "support/test_support.h"
#include "jobs/size_presets.h"
#include "engine/output_formats.h"
#include "ui/option_pages.h"
#include "ui/window_texts.h"

namespace zelvan {
namespace {

// A control of the pages by its objectName (its lang.ini key); the test fails without it.
template <typename T>
T* Find(const QWidget& parent, const char* name) {
    T* found = parent.findChild<T*>(QString::fromLatin1(name));
    if (found == nullptr) throw std::runtime_error(std::string("no control named ") + name);
    return found;
}

void ProcessEventsFor(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

// Fixed dates, so the examples do not depend on the clock or the machine's locale.
void FixClock(OptionPages& pages) {
    pages.SetClock([] { return QDateTime(QDate(2025, 12, 9), QTime(14, 5)); });
    pages.SetDateConventions(MaskDateConventions::FromPatterns(QLocale(QLocale::C), "dd/MM/yyyy", "HH:mm"));
}

ConversionOptions NonDefaultOptions() {
    ConversionOptions o;
    o.threads = 1;
    o.outputFormat = 3;
    o.outputFolder = "/tmp/out put/";
    o.overwrite = true;
    o.autoFormat = true;
    o.jpegQuality = 42;
    o.jpegProgressive = true;
    o.pngCompression = 3;
    o.pngInterlace = true;
    o.pngAllFilters = false;
    o.jpeg2000Quality = 17;
    o.jpeg2000Lossless = true;
    o.resizeMode = 2;
    o.resizeWidth = 1234;
    o.resizeHeight = 567;
    o.keepProportions = false;
    o.enlargeSmaller = true;
    o.smartCrop = true;
    o.resizePercent = 150;
    o.resamplingFilter = 2;
    o.renameEnabled = false;
    o.renameMask = "[C]-[n]";
    o.counterDigits = 7;
    o.textStampEnabled = true;
    o.textStampMask = QString::fromUtf8("© [ED]").toStdString();
    o.textPosition = 1;
    o.textFont = TextFont{"DejaVu Sans", 0, 255, 12, 3};
    o.textShadow = false;
    o.textOpacity = 100;
    o.keepExif = false;
    o.autoRotate = false;
    return o;
}

TEST(OptionPages, PagesAndControlsAreNamedForTheLanguageFile) {
    OptionPages pages;
    EXPECT_EQ(pages.objectName(), "PageControl1");
    const QStringList order{"TabSheet1", "TabSheet2",  "TabSheet8", "TabSheet13",
                            "TabSheet4", "TabSheet6", "TabSheet12", "TabSheet7"};
    ASSERT_EQ(pages.count(), order.size());
    for (int i = 0; i < pages.count(); ++i) EXPECT_EQ(pages.widget(i)->objectName(), order[i]);
    EXPECT_EQ(pages.currentWidget(), Find<QWidget>(pages, "TabSheet7"));

    // The rule translates only the exact classes, so each control must be one and be named.
    for (const char* name : {"Label1", "Label5", "Label22", "Label19"})
        EXPECT_EQ(pages.findChild<QObject*>(name)->metaObject(), &QLabel::staticMetaObject) << name;
    EXPECT_EQ(pages.findChild<QObject*>("CheckBox14")->metaObject(), &QCheckBox::staticMetaObject);
    for (const char* name : {"GroupBox3", "GroupBox4", "GroupBox5", "GroupBox6"})
        EXPECT_EQ(pages.findChild<QObject*>(name)->metaObject(), &QGroupBox::staticMetaObject) << name;
    for (const char* name : {"Label29", "Label31", "Label32", "Label34", "Label35", "Label37"})
        EXPECT_EQ(pages.findChild<QObject*>(name)->metaObject(), &QLabel::staticMetaObject) << name;
    EXPECT_EQ(pages.findChild<QObject*>("PngBitBtn4")->metaObject(), &QPushButton::staticMetaObject);
    EXPECT_EQ(pages.findChild<QObject*>("SpinEdit5")->metaObject(), &QSpinBox::staticMetaObject);
    EXPECT_EQ(pages.findChild<QObject*>("Currentdate1")->metaObject(), &QAction::staticMetaObject);
    EXPECT_EQ(pages.findChild<QObject*>("Addsymbol1")->metaObject(), &QMenu::staticMetaObject);
    EXPECT_FALSE(Find<QSpinBox>(pages, "SpinEdit6")->isVisibleTo(&pages));
    EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit6")->value(), 100);
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox1")->count(), static_cast<int>(OutputFormats().size()));
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox4")->count(), 38);
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox4")->maxVisibleItems(), 15);

    LanguageFile file(IniFile::Parse("[English]\nZelvanMainformLabel5=Output folder:\nZelvanMainformTabSheet6=Size\n"
                                     "ZelvanMainformCurrentdate1=[D] - Today\nZelvanMainformAddsymbol1=Symbols\n"));
    QWidget window;
    pages.setParent(&window);
    ApplyWindowTexts(window, "ZelvanMainform", file, "English", MainWindowTextRules());
    pages.ApplyLanguageLists(file);
    EXPECT_EQ(Find<QLabel>(pages, "Label5")->text(), "Output folder:");
    EXPECT_EQ(pages.tabText(5), "Size");
    EXPECT_EQ(pages.tabText(4), "Rename");  // no key: the design caption stays
    EXPECT_EQ(pages.findChild<QAction*>("Currentdate1")->text(), "[D] - Today");
    EXPECT_EQ(Find<QMenu>(pages, "Addsymbol1")->title(), "Symbols");
    pages.setParent(nullptr);
}

TEST(OptionPages, ApplyOptionsThenOptionsRoundTripsEveryField) {
    OptionPages pages;
    ConversionOptions wanted = NonDefaultOptions();
    pages.ApplyOptions(wanted);
    const ConversionOptions got = pages.Options();

    EXPECT_EQ(got.threads, wanted.threads);
    EXPECT_EQ(got.outputFormat, wanted.outputFormat);
    EXPECT_EQ(got.outputFolder, wanted.outputFolder);
    EXPECT_EQ(got.overwrite, wanted.overwrite);
    EXPECT_EQ(got.autoFormat, wanted.autoFormat);
    EXPECT_EQ(got.jpegQuality, wanted.jpegQuality);
    EXPECT_EQ(got.jpegProgressive, wanted.jpegProgressive);
    EXPECT_EQ(got.pngCompression, wanted.pngCompression);
    EXPECT_EQ(got.pngInterlace, wanted.pngInterlace);
    EXPECT_EQ(got.pngAllFilters, wanted.pngAllFilters);
    EXPECT_EQ(got.jpeg2000Quality, wanted.jpeg2000Quality);
    EXPECT_EQ(got.jpeg2000Lossless, wanted.jpeg2000Lossless);
    EXPECT_EQ(got.resizeMode, wanted.resizeMode);
    EXPECT_EQ(got.resizeWidth, wanted.resizeWidth);
    EXPECT_EQ(got.resizeHeight, wanted.resizeHeight);
    EXPECT_EQ(got.keepProportions, wanted.keepProportions);
    EXPECT_EQ(got.enlargeSmaller, wanted.enlargeSmaller);
    EXPECT_EQ(got.smartCrop, wanted.smartCrop);
    EXPECT_EQ(got.resizePercent, wanted.resizePercent);
    EXPECT_EQ(got.resamplingFilter, wanted.resamplingFilter);
    EXPECT_EQ(got.renameEnabled, wanted.renameEnabled);
    EXPECT_EQ(got.renameMask, wanted.renameMask);
    EXPECT_EQ(got.counterDigits, wanted.counterDigits);
    EXPECT_EQ(got.textStampEnabled, wanted.textStampEnabled);
    EXPECT_EQ(got.textStampMask, wanted.textStampMask);
    EXPECT_EQ(got.textPosition, wanted.textPosition);
    EXPECT_EQ(FontSettingText(got.textFont), FontSettingText(wanted.textFont));
    EXPECT_EQ(got.textShadow, wanted.textShadow);
    EXPECT_EQ(got.textOpacity, 100);
    EXPECT_EQ(got.keepExif, wanted.keepExif);
    EXPECT_EQ(got.autoRotate, wanted.autoRotate);

    // Back to the defaults: every control follows again, and the other two resize modes too.
    for (int mode : {1, 0}) {
        ConversionOptions defaults = DefaultConversionOptions(1600, 900);
        defaults.resizeMode = mode;
        pages.ApplyOptions(defaults);
        const ConversionOptions back = pages.Options();
        EXPECT_EQ(back.resizeMode, mode);
        EXPECT_EQ(back.resizeWidth, 1600);
        EXPECT_EQ(back.outputFolder, defaults.outputFolder);
        EXPECT_EQ(back.renameMask, "[N]_[C]_[W]x[H][E]");
        EXPECT_EQ(FontSettingText(back.textFont), "Times New Roman,204,16777215,26,0");
        EXPECT_TRUE(back.keepExif);
        EXPECT_TRUE(back.autoRotate);
    }
}

// Walks the option table: every option with a control has exactly one control of that name on
// the pages, the control offers the option's range, and a value other than the default goes into
// the control and comes back out, leaving every other option as it was.
TEST(OptionPages, EveryOptionOfTheTableHasItsControl) {
    OptionPages pages;
    int controls = 0;
    for (const OptionInfo& row : OptionTable()) {
        if (!row.IsOption() || row.control == nullptr) continue;
        SCOPED_TRACE(row.key);
        ++controls;
        const QList<QWidget*> named = pages.findChildren<QWidget*>(QString::fromLatin1(row.control));
        ASSERT_EQ(named.size(), 1) << row.control;
        QWidget* control = named.front();
        const auto [minimum, maximum] = OptionRange(row);
        if (auto* slider = qobject_cast<QSlider*>(control)) {
            EXPECT_EQ(std::pair(slider->minimum(), slider->maximum()), std::pair(minimum, maximum));
        } else if (auto* spin = qobject_cast<QSpinBox*>(control)) {
            EXPECT_EQ(std::pair(spin->minimum(), spin->maximum()), std::pair(minimum, maximum));
        } else if (auto* list = qobject_cast<QComboBox*>(control)) {
            EXPECT_TRUE(row.listIndex);
            EXPECT_EQ(list->count(), maximum + 1);  // the design's lists, before any language
        } else if (auto* group = qobject_cast<QGroupBox*>(control)) {
            EXPECT_EQ(group->findChildren<QRadioButton*>(Qt::FindDirectChildrenOnly).size(), maximum + 1);
        } else if (row.kind == OptionInfo::Kind::Colour) {
            EXPECT_TRUE(qobject_cast<QPushButton*>(control)) << control->metaObject()->className();
        } else {
            EXPECT_TRUE(qobject_cast<QCheckBox*>(control) || qobject_cast<QLineEdit*>(control))
                << control->metaObject()->className();
        }

        ConversionOptions wanted = DefaultConversionOptions(1600, 900);
        switch (row.kind) {
            case OptionInfo::Kind::Integer:
                // The other end of the range from the default (Threads on one processor has none).
                wanted.*row.integer = OptionDefault(row) != maximum ? maximum : minimum;
                break;
            case OptionInfo::Kind::Boolean: wanted.*row.boolean = !(wanted.*row.boolean); break;
            case OptionInfo::Kind::Text: wanted.*row.text = QString::fromUtf8("ä [N] ").toStdString() + row.key; break;
            case OptionInfo::Kind::Colour: wanted.*row.integer = 0x123456; break;
            default: FAIL() << "a control for an option of another kind";
        }
        if (row.integer == &ConversionOptions::textOpacity) wanted.textOpacity = 100;  // always shows 100
        pages.ApplyOptions(wanted);
        const ConversionOptions got = pages.Options();
        for (const OptionInfo& other : OptionTable()) {
            if (!other.IsOption()) continue;
            EXPECT_EQ(OptionText(got, other), OptionText(wanted, other)) << other.key;
        }
    }
    EXPECT_GE(controls, 29);
}

TEST(OptionPages, TheStampOpacityAlwaysShowsAHundred) {
    OptionPages pages;
    ConversionOptions o = DefaultConversionOptions();
    o.textOpacity = 40;
    pages.ApplyOptions(o);
    EXPECT_EQ(pages.Options().textOpacity, 100);
    EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit6")->value(), 100);
}

TEST(OptionPages, LoadingRunsEachControlsReaction) {
    OptionPages pages;
    ConversionOptions o = DefaultConversionOptions();
    o.jpegQuality = 42;
    o.pngCompression = 3;
    o.jpeg2000Quality = 75;  // unchanged from the design value: its label is still written
    Find<QLabel>(pages, "Label21")->setText("stale");
    o.autoFormat = true;
    pages.ApplyOptions(o);
    EXPECT_EQ(Find<QLabel>(pages, "Label3")->text(), "42%");
    EXPECT_EQ(Find<QLabel>(pages, "Label4")->text(), "3");
    EXPECT_EQ(Find<QLabel>(pages, "Label21")->text(), "75%");
    EXPECT_FALSE(Find<QComboBox>(pages, "ComboBox1")->isEnabled());
    EXPECT_FALSE(Find<QLabel>(pages, "Label6")->isEnabled());
    Find<QCheckBox>(pages, "CheckBox3")->click();
    EXPECT_TRUE(Find<QComboBox>(pages, "ComboBox1")->isEnabled());
    EXPECT_TRUE(Find<QLabel>(pages, "Label6")->isEnabled());
    Find<QSlider>(pages, "TrackBar1")->setValue(100);
    EXPECT_EQ(Find<QLabel>(pages, "Label3")->text(), "100%");
}

TEST(OptionPages, ResizeModeEnablesItsControls) {
    OptionPages pages;
    struct Expect {
        int mode;
        bool proportional;
        bool width, height, percent, proportions, enlarge, smartCrop;
    };
    for (const Expect& e : {Expect{0, true, false, false, false, false, false, false},
                            Expect{1, true, true, true, false, true, true, true},
                            Expect{1, false, true, true, false, true, true, false},
                            Expect{2, true, false, false, true, false, false, false}}) {
        ConversionOptions o = DefaultConversionOptions();
        o.resizeMode = e.mode;
        o.keepProportions = e.proportional;
        pages.ApplyOptions(o);
        SCOPED_TRACE(testing::Message() << "mode " << e.mode << " proportional " << e.proportional);
        EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit2")->isEnabled(), e.width);
        EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit3")->isEnabled(), e.height);
        EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit4")->isEnabled(), e.percent);
        EXPECT_EQ(Find<QCheckBox>(pages, "CheckBox4")->isEnabled(), e.proportions);
        EXPECT_EQ(Find<QCheckBox>(pages, "CheckBox6")->isEnabled(), e.enlarge);
        EXPECT_EQ(Find<QCheckBox>(pages, "CheckBox7")->isEnabled(), e.smartCrop);
        EXPECT_TRUE(Find<QComboBox>(pages, "ComboBox3")->isEnabled());
        EXPECT_TRUE(Find<QComboBox>(pages, "ComboBox4")->isEnabled());
    }
    // The user's clicks: proportions off in fixed-size mode disables smart crop, on enables it.
    Find<QRadioButton>(pages, "ChangeSizeRadioButton")->click();
    Find<QCheckBox>(pages, "CheckBox4")->setChecked(true);
    EXPECT_TRUE(Find<QCheckBox>(pages, "CheckBox7")->isEnabled());
    Find<QCheckBox>(pages, "CheckBox4")->click();
    EXPECT_FALSE(Find<QCheckBox>(pages, "CheckBox7")->isEnabled());
    Find<QRadioButton>(pages, "NoResizeRadioButton")->click();
    EXPECT_FALSE(Find<QSpinBox>(pages, "SpinEdit2")->isEnabled());
}

TEST(OptionPages, UnknownResizeModeAndTooManyThreads) {
    OptionPages pages;
    ConversionOptions o = DefaultConversionOptions();
    o.resizeMode = 7;
    o.threads = 12;
    o.outputFormat = 9;  // hand-edited: no such format
    pages.ApplyOptions(o);
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox1")->currentIndex(), -1);
    EXPECT_EQ(pages.Options().outputFormat, 0);  // a run never sees the unknown format
    EXPECT_TRUE(Find<QRadioButton>(pages, "NoResizeRadioButton")->isChecked());
    EXPECT_EQ(pages.Options().resizeMode, 0);
    EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit1")->maximum(), ProcessorCount());
    EXPECT_EQ(pages.Options().threads, std::min(12, ProcessorCount()));
}

TEST(OptionPages, LanguageListsKeepTheSelection) {
    OptionPages pages;
    ConversionOptions o = DefaultConversionOptions();
    o.resamplingFilter = 5;
    o.textPosition = 2;
    pages.ApplyOptions(o);

    LanguageFile file(IniFile::Parse("[English]\nFilterList=A;B;C\nPositionList=p0;p1;p2;p3;p4;p5;p6;\n"
                                     "SelectDir=Pick\n"));
    pages.ApplyLanguageLists(file);
    ASSERT_EQ(Find<QComboBox>(pages, "ComboBox3")->count(), 3);
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox3")->itemText(2), "C");
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox3")->currentIndex(), -1);  // index 5 is not in a list of three
    ASSERT_EQ(Find<QComboBox>(pages, "ComboBox5")->count(), 7);          // the trailing ";" makes no empty row
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox5")->currentIndex(), 2);
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox5")->currentText(), "p2");
    // With no row shown, a run still uses the filter the user chose.
    EXPECT_EQ(pages.Options().resamplingFilter, 5);

    QString title;
    pages.SetFolderChooser([&](QWidget*, const QString& t, const QString&) {
        title = t;
        return QString("/home/user/pictures/");
    });
    Find<QPushButton>(pages, "PngBitBtn3")->click();
    EXPECT_EQ(title, "Pick");
    EXPECT_EQ(Find<QLineEdit>(pages, "Edit1")->text(), "/home/user/pictures");
    pages.SetFolderChooser([](QWidget*, const QString&, const QString&) { return QString(); });
    Find<QPushButton>(pages, "PngBitBtn3")->click();
    EXPECT_EQ(Find<QLineEdit>(pages, "Edit1")->text(), "/home/user/pictures");  // cancelled: unchanged
}

TEST(OptionPages, PresetSetsTheBoxAndStaysChosen) {
    OptionPages pages;
    const int preset = Find<QComboBox>(pages, "ComboBox4")->findText("1920x1080", Qt::MatchStartsWith);
    ASSERT_GT(preset, 0);
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox4")->itemText(preset), SizePresetCaption("1920x1080", 1920, 1080));
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox4")->itemText(0), "--");
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox4")->itemText(8), "1024x600 ( ~15:9 )  0,61 M");

    Find<QComboBox>(pages, "ComboBox4")->setCurrentIndex(preset);
    EXPECT_TRUE(Find<QRadioButton>(pages, "ChangeSizeRadioButton")->isChecked());
    EXPECT_TRUE(Find<QSpinBox>(pages, "SpinEdit2")->isEnabled());
    EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit2")->value(), 1920);
    EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit3")->value(), 1080);
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox4")->currentIndex(), preset);
    EXPECT_EQ(Find<QLabel>(pages, "Label19")->text(), "16:9");
    EXPECT_TRUE(pages.ApplyingPreset());

    ProcessEventsFor(30);  // the preset timer's tick ends the preset
    EXPECT_FALSE(pages.ApplyingPreset());
    Find<QSpinBox>(pages, "SpinEdit2")->setValue(1921);
    EXPECT_EQ(Find<QComboBox>(pages, "ComboBox4")->currentIndex(), 0);
    EXPECT_EQ(Find<QLabel>(pages, "Label19")->text(), "1921:1080");
    EXPECT_EQ(Find<QSpinBox>(pages, "SpinEdit3")->value(), 1080);  // the boxes are not linked

    // Item 0 does nothing.
    Find<QRadioButton>(pages, "NoResizeRadioButton")->click();
    Find<QComboBox>(pages, "ComboBox4")->setCurrentIndex(5);
    ProcessEventsFor(30);
    Find<QRadioButton>(pages, "NoResizeRadioButton")->click();
    Find<QComboBox>(pages, "ComboBox4")->setCurrentIndex(0);
    EXPECT_TRUE(Find<QRadioButton>(pages, "NoResizeRadioButton")->isChecked());
}

TEST(OptionPages, ExamplesFollowTheMasks) {
    OptionPages pages;
    FixClock(pages);
    Find<QSpinBox>(pages, "SpinEdit5")->setValue(4);
    Find<QLineEdit>(pages, "Edit2")->setText("[C]_[N][E]");
    EXPECT_EQ(pages.RenameExampleText(), "0015_Filename.jpg");
    Find<QSpinBox>(pages, "SpinEdit5")->setValue(2);
    EXPECT_EQ(pages.RenameExampleText(), "15_Filename.jpg");
    Find<QLineEdit>(pages, "Edit3")->setText("[C]_[N][E]");
    EXPECT_EQ(pages.TextExampleText(), "15_Filename.jpg");

    Find<QLineEdit>(pages, "Edit2")->setText("[n]-[t] [d]");
    EXPECT_EQ(pages.RenameExampleText(), "Filename-14_05 09_12_2025");
    Find<QLineEdit>(pages, "Edit3")->setText("[T] [D] [ET] [FCD]");
    EXPECT_EQ(pages.TextExampleText(), "14:05 09/12/2025 14:05 09/12/2025");

    // The box's size as of the mask's last change.
    Find<QSpinBox>(pages, "SpinEdit2")->setValue(640);
    Find<QSpinBox>(pages, "SpinEdit3")->setValue(480);
    Find<QLineEdit>(pages, "Edit2")->setText("[W]x[H]");
    EXPECT_EQ(pages.RenameExampleText(), "640x480");
    Find<QSpinBox>(pages, "SpinEdit2")->setValue(320);
    EXPECT_EQ(pages.RenameExampleText(), "640x480");

    // A long example is cut at its end in the label, whole in its tool tip.
    pages.resize(400, 200);
    pages.setCurrentWidget(Find<QWidget>(pages, "TabSheet4"));
    pages.show();
    Find<QLineEdit>(pages, "Edit2")->setText(QString(200, 'w') + "[N]");
    ProcessEventsFor(20);
    EXPECT_TRUE(Find<QLabel>(pages, "Label17")->text().endsWith(QChar(0x2026))) << Find<QLabel>(pages, "Label17")->text().toStdString();
    EXPECT_LT(Find<QLabel>(pages, "Label17")->text().size(), 200);
    EXPECT_EQ(Find<QLabel>(pages, "Label17")->toolTip(), pages.RenameExampleText());
    pages.hide();
}

TEST(OptionPages, VariableMenusInsertAtTheCaret) {
    OptionPages pages;
    Find<QLineEdit>(pages, "Edit2")->setText("ab");
    Find<QLineEdit>(pages, "Edit2")->setCursorPosition(1);
    pages.findChild<QAction*>("CFilecounter1")->trigger();
    EXPECT_EQ(Find<QLineEdit>(pages, "Edit2")->text(), "a[C]b");

    Find<QLineEdit>(pages, "Edit2")->setSelection(0, 1);  // the selection is replaced
    pages.findChild<QAction*>("FCTFilecreationtime1")->trigger();
    EXPECT_EQ(Find<QLineEdit>(pages, "Edit2")->text(), "[FCT][C]b");

    Find<QLineEdit>(pages, "Edit3")->setText("x");
    Find<QLineEdit>(pages, "Edit3")->setCursorPosition(0);
    pages.findChild<QAction*>("Exifdate1")->trigger();
    pages.findChild<QAction*>("rademark1")->trigger();
    EXPECT_EQ(Find<QLineEdit>(pages, "Edit3")->text(), QString::fromUtf8("[ED]™x"));

    // The rename menu has no EXIF tokens and no symbols.
    QStringList renameTokens;
    for (QAction* action : pages.RenameVariableMenu()->actions()) renameTokens << action->objectName();
    EXPECT_EQ(renameTokens.size(), 9);
    EXPECT_FALSE(renameTokens.contains("Exifdate1"));
}

TEST(OptionPages, FontDialogChangesTheStampFont) {
    OptionPages pages;
    pages.SetFontChooser([](QWidget*, const TextFont& current) {
        TextFont font = current;
        font.face = "Liberation Sans";
        font.colour = 0x0000FF;
        return std::optional<TextFont>(font);
    });
    Find<QPushButton>(pages, "PngBitBtn4")->click();
    EXPECT_EQ(FontSettingText(pages.Options().textFont), "Liberation Sans,204,255,26,0");
    pages.SetFontChooser([](QWidget*, const TextFont&) { return std::optional<TextFont>(); });
    Find<QPushButton>(pages, "PngBitBtn4")->click();
    EXPECT_EQ(pages.Options().textFont.face, "Liberation Sans");
}

// The colour button beside the font button sets the stamp's colour (red in the low byte) and
// keeps the face; cancelling keeps the colour.
TEST(OptionPages, ColourDialogChangesTheStampColour) {
    OptionPages pages;
    QColor offered;
    pages.SetColourChooser([&](QWidget*, const QColor& current) {
        offered = current;
        return QColor(0x12, 0x34, 0x56);
    });
    Find<QPushButton>(pages, "PngBitBtn7")->click();
    EXPECT_EQ(offered, QColor(Qt::white));
    EXPECT_EQ(pages.Options().textFont.colour, 0x563412);
    EXPECT_EQ(pages.Options().textFont.face, "Times New Roman");
    pages.SetColourChooser([&](QWidget*, const QColor& current) {
        offered = current;
        return QColor();
    });
    Find<QPushButton>(pages, "PngBitBtn7")->click();
    EXPECT_EQ(offered, QColor(0x12, 0x34, 0x56));
    EXPECT_EQ(pages.Options().textFont.colour, 0x563412);
}

TEST(OptionPages, CancellingTheRealDialogsChangesNothing) {
    OptionPages pages;
    Find<QLineEdit>(pages, "Edit1")->setText("/tmp");
    // Closes whichever modal dialog is open, as a user pressing Escape would.
    QTimer closer;
    int closed = 0;
    QString fontDialogFamily;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            if (auto* fonts = qobject_cast<QFontDialog*>(dialog)) fontDialogFamily = fonts->currentFont().family();
            dialog->close();
            ++closed;
        }
    });
    closer.start(20);
    Find<QPushButton>(pages, "PngBitBtn4")->click();
    Find<QPushButton>(pages, "PngBitBtn3")->click();
    Find<QPushButton>(pages, "PngBitBtn7")->click();
    EXPECT_EQ(closed, 3);
    // The font dialog opened on the family the stamp is drawn with.
    EXPECT_EQ(fontDialogFamily, QFontInfo(QFontOf(pages.TextStampFont())).family());
    EXPECT_EQ(FontSettingText(pages.TextStampFont()), "Times New Roman,204,16777215,26,0");
    EXPECT_EQ(Find<QLineEdit>(pages, "Edit1")->text(), "/tmp");
}

// The long preset list opens below its box with 15 rows and a scroll bar, not over the screen.
TEST(OptionPages, LongListsOpenWithFifteenRows) {
    QWidget window;
    auto* pages = new OptionPages(&window);
    window.resize(600, 300);
    window.show();
    pages->setCurrentWidget(Find<QWidget>(*pages, "TabSheet6"));
    auto* presets = Find<QComboBox>(*pages, "ComboBox4");
    ProcessEventsFor(20);
    presets->showPopup();
    ProcessEventsFor(50);
    QAbstractItemView* view = presets->view();
    const int row = view->sizeHintForRow(0);
    EXPECT_LE(view->height(), 16 * row);
    EXPECT_GE(view->height(), 14 * row);
    presets->hidePopup();
}

// The warning beside the rename example: only while renaming by a mask without [E].
TEST(OptionPages, RenameWarnsOfFilesWithoutExtension) {
    QWidget window;
    auto* pages = new OptionPages(&window);
    window.show();
    pages->setCurrentWidget(Find<QWidget>(*pages, "TabSheet4"));
    auto* mask = Find<QLineEdit>(*pages, "Edit2");
    auto* renaming = Find<QCheckBox>(*pages, "CheckBox5");
    auto* warning = Find<QLabel>(*pages, "Label28");
    const struct {
        const char* mask;
        bool renaming;
        bool warned;
    } cases[] = {
        {"[N]_[C]_[W]x[H][E]", true, false}, {"[N]_[C]", true, true}, {"[n][e]", true, false},
        {"[N]_[C]", false, false},           {"", true, true},
    };
    for (const auto& c : cases) {
        mask->setText(c.mask);
        renaming->setChecked(c.renaming);
        EXPECT_EQ(warning->isVisibleTo(pages), c.warned) << c.mask << " " << c.renaming;
        EXPECT_EQ(pages->RenameMaskLacksExtension(), c.warned) << c.mask;
    }
}

// Browse opens at the output folder, or at its nearest existing parent before Convert made it.
TEST(OptionPages, BrowseStartsAtTheOutputFolder) {
    test::TempDir dir;
    std::filesystem::create_directories(dir / "made");
    OptionPages pages;
    QStringList starts;
    pages.SetFolderChooser([&](QWidget*, const QString&, const QString& current) {
        starts << current;
        return QString();
    });
    for (const std::string& folder : {dir / "made", dir / "made/not/yet/", std::string("relative/nowhere")}) {
        Find<QLineEdit>(pages, "Edit1")->setText(QString::fromStdString(folder));
        Find<QPushButton>(pages, "PngBitBtn3")->click();
    }
    const QString made = QString::fromStdString(dir / "made");
    EXPECT_EQ(starts, (QStringList{made, made, "."}));
}

// Every page in both languages at the width its tabs ask for: no caption, button or list is
// given less room than it needs, so no text is cut. With ZELVAN_SCREENSHOT_DIR set, each page is
// also saved as a picture for a person to look at.
TEST(OptionPagesLayout, NoControlIsCutInEitherLanguage) {
    const char* folder = std::getenv("ZELVAN_SCREENSHOT_DIR");
    const bool save = folder != nullptr && *folder != 0;
    LanguageFile file = LanguageFile::Load(std::string(ZELVAN_SOURCE_DIR) + "/lang.ini");
    for (const char* language : {"English", "Russian"}) {
        SCOPED_TRACE(language);
        QWidget window;
        auto* pages = new OptionPages(&window);
        pages->ApplyOptions(DefaultConversionOptions());
        file.SetCurrentLanguage(language);
        ApplyWindowTexts(window, "ZelvanMainform", file, language, MainWindowTextRules());
        pages->ApplyLanguageLists(file);
        pages->resize(pages->sizeHint().width(), pages->minimumSizeHint().height());
        window.resize(pages->size());
        window.show();
        for (int i = 0; i < pages->count(); ++i) {
            pages->setCurrentIndex(i);
            ProcessEventsFor(50);
            QWidget* page = pages->widget(i);
            SCOPED_TRACE(page->objectName().toStdString());
            for (QWidget* control : page->findChildren<QWidget*>()) {
                const bool hasText = qobject_cast<QLabel*>(control) || qobject_cast<QAbstractButton*>(control) ||
                                     qobject_cast<QComboBox*>(control);
                // The two examples are elided to their room on purpose.
                if (!hasText || !control->isVisible() || control == Find<QLabel>(*pages, "Label17") || control == Find<QLabel>(*pages, "Label25")) continue;
                EXPECT_GE(control->width(), control->minimumSizeHint().width()) << control->objectName().toStdString();
                // A label that cuts its text to its room (the font's summary) has room for all of it.
                const QString full = control->property("fullText").toString();
                EXPECT_GE(control->width(), control->fontMetrics().horizontalAdvance(full)) << full.toStdString();
            }
            if (save) {
                const QString name = QString("%1/%2-%3-%4.png").arg(folder, language).arg(i).arg(page->objectName());
                EXPECT_TRUE(pages->grab().save(name));
            }
        }
    }
}

}  // namespace
}  // namespace zelvan
