#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
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
#include <functional>

#include "engine/conversion_options.h"
#include "jobs/size_presets.h"
#include "ui/option_pages.h"
#include "ui/window_texts.h"

namespace zelvan {
namespace {

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
    return o;
}

TEST(OptionPages, PagesAndControlsAreNamedForTheLanguageFile) {
    OptionPages pages;
    EXPECT_EQ(pages.objectName(), "PageControl1");
    const QStringList order{"TabSheet1", "TabSheet2", "TabSheet8", "TabSheet4", "TabSheet6", "TabSheet12", "TabSheet7"};
    ASSERT_EQ(pages.count(), order.size());
    for (int i = 0; i < pages.count(); ++i) EXPECT_EQ(pages.widget(i)->objectName(), order[i]);
    EXPECT_EQ(pages.currentWidget(), pages.TabSheet7);

    // The rule translates only the exact classes, so each control must be one and be named.
    for (const char* name : {"Label1", "Label5", "Label22", "Label19"})
        EXPECT_EQ(pages.findChild<QObject*>(name)->metaObject(), &QLabel::staticMetaObject) << name;
    EXPECT_EQ(pages.findChild<QObject*>("CheckBox14")->metaObject(), &QCheckBox::staticMetaObject);
    EXPECT_EQ(pages.findChild<QObject*>("GroupBox3")->metaObject(), &QGroupBox::staticMetaObject);
    EXPECT_EQ(pages.findChild<QObject*>("PngBitBtn4")->metaObject(), &QPushButton::staticMetaObject);
    EXPECT_EQ(pages.findChild<QObject*>("SpinEdit5")->metaObject(), &QSpinBox::staticMetaObject);
    EXPECT_EQ(pages.findChild<QObject*>("Currentdate1")->metaObject(), &QAction::staticMetaObject);
    EXPECT_EQ(pages.findChild<QObject*>("Addsymbol1")->metaObject(), &QMenu::staticMetaObject);
    EXPECT_FALSE(pages.SpinEdit6->isVisibleTo(&pages));
    EXPECT_EQ(pages.SpinEdit6->value(), 100);
    EXPECT_EQ(pages.ComboBox1->count(), 6);
    EXPECT_EQ(pages.ComboBox4->count(), 38);
    EXPECT_EQ(pages.ComboBox4->maxVisibleItems(), 15);

    LanguageFile file(IniFile::Parse("[English]\nZelvanMainformLabel5=Output folder:\nZelvanMainformTabSheet6=Size\n"
                                     "ZelvanMainformCurrentdate1=[D] - Today\nZelvanMainformAddsymbol1=Symbols\n"));
    QWidget window;
    pages.setParent(&window);
    ApplyWindowTexts(window, "ZelvanMainform", file, "English", MainWindowTextRules());
    pages.ApplyLanguageLists(file);
    EXPECT_EQ(pages.Label5->text(), "Output folder:");
    EXPECT_EQ(pages.tabText(4), "Size");
    EXPECT_EQ(pages.tabText(3), "Rename");  // no key: the design caption stays
    EXPECT_EQ(pages.findChild<QAction*>("Currentdate1")->text(), "[D] - Today");
    EXPECT_EQ(pages.Addsymbol1->title(), "Symbols");
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
    }
}

TEST(OptionPages, LoadingRunsEachControlsReaction) {
    OptionPages pages;
    ConversionOptions o = DefaultConversionOptions();
    o.jpegQuality = 42;
    o.pngCompression = 3;
    o.jpeg2000Quality = 75;  // unchanged from the design value: its label is still written
    pages.Label21->setText("stale");
    o.autoFormat = true;
    pages.ApplyOptions(o);
    EXPECT_EQ(pages.Label3->text(), "42%");
    EXPECT_EQ(pages.Label4->text(), "3");
    EXPECT_EQ(pages.Label21->text(), "75%");
    EXPECT_FALSE(pages.ComboBox1->isEnabled());
    EXPECT_FALSE(pages.Label6->isEnabled());
    pages.CheckBox3->click();
    EXPECT_TRUE(pages.ComboBox1->isEnabled());
    EXPECT_TRUE(pages.Label6->isEnabled());
    pages.TrackBar1->setValue(100);
    EXPECT_EQ(pages.Label3->text(), "100%");
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
        EXPECT_EQ(pages.SpinEdit2->isEnabled(), e.width);
        EXPECT_EQ(pages.SpinEdit3->isEnabled(), e.height);
        EXPECT_EQ(pages.SpinEdit4->isEnabled(), e.percent);
        EXPECT_EQ(pages.CheckBox4->isEnabled(), e.proportions);
        EXPECT_EQ(pages.CheckBox6->isEnabled(), e.enlarge);
        EXPECT_EQ(pages.CheckBox7->isEnabled(), e.smartCrop);
        EXPECT_TRUE(pages.ComboBox3->isEnabled());
        EXPECT_TRUE(pages.ComboBox4->isEnabled());
    }
    // The user's clicks: proportions off in fixed-size mode disables smart crop, on enables it.
    pages.ChangeSizeRadioButton->click();
    pages.CheckBox4->setChecked(true);
    EXPECT_TRUE(pages.CheckBox7->isEnabled());
    pages.CheckBox4->click();
    EXPECT_FALSE(pages.CheckBox7->isEnabled());
    pages.NoResizeRadioButton->click();
    EXPECT_FALSE(pages.SpinEdit2->isEnabled());
}

TEST(OptionPages, UnknownResizeModeAndTooManyThreads) {
    OptionPages pages;
    ConversionOptions o = DefaultConversionOptions();
    o.resizeMode = 7;
    o.threads = 12;
    o.outputFormat = 9;  // hand-edited: no such format
    pages.ApplyOptions(o);
    EXPECT_EQ(pages.ComboBox1->currentIndex(), -1);
    EXPECT_EQ(pages.Options().outputFormat, 0);  // a run never sees the unknown format
    EXPECT_TRUE(pages.NoResizeRadioButton->isChecked());
    EXPECT_EQ(pages.Options().resizeMode, 0);
    EXPECT_EQ(pages.SpinEdit1->maximum(), ProcessorCount());
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
    ASSERT_EQ(pages.ComboBox3->count(), 3);
    EXPECT_EQ(pages.ComboBox3->itemText(2), "C");
    EXPECT_EQ(pages.ComboBox3->currentIndex(), -1);  // index 5 is not in a list of three
    ASSERT_EQ(pages.ComboBox5->count(), 7);          // the trailing ";" makes no empty row
    EXPECT_EQ(pages.ComboBox5->currentIndex(), 2);
    EXPECT_EQ(pages.ComboBox5->currentText(), "p2");
    // With no row shown, a run still uses the filter the user chose.
    EXPECT_EQ(pages.Options().resamplingFilter, 5);

    QString title;
    pages.SetFolderChooser([&](QWidget*, const QString& t, const QString&) {
        title = t;
        return QString("/home/user/pictures/");
    });
    pages.PngBitBtn3->click();
    EXPECT_EQ(title, "Pick");
    EXPECT_EQ(pages.Edit1->text(), "/home/user/pictures");
    pages.SetFolderChooser([](QWidget*, const QString&, const QString&) { return QString(); });
    pages.PngBitBtn3->click();
    EXPECT_EQ(pages.Edit1->text(), "/home/user/pictures");  // cancelled: unchanged
}

TEST(OptionPages, PresetSetsTheBoxAndStaysChosen) {
    OptionPages pages;
    const int preset = pages.ComboBox4->findText("1920x1080", Qt::MatchStartsWith);
    ASSERT_GT(preset, 0);
    EXPECT_EQ(pages.ComboBox4->itemText(preset), SizePresetCaption("1920x1080", 1920, 1080));
    EXPECT_EQ(pages.ComboBox4->itemText(0), "--");
    EXPECT_EQ(pages.ComboBox4->itemText(8), "1024x600 ( ~15:9 )  0,61 M");

    pages.ComboBox4->setCurrentIndex(preset);
    EXPECT_TRUE(pages.ChangeSizeRadioButton->isChecked());
    EXPECT_TRUE(pages.SpinEdit2->isEnabled());
    EXPECT_EQ(pages.SpinEdit2->value(), 1920);
    EXPECT_EQ(pages.SpinEdit3->value(), 1080);
    EXPECT_EQ(pages.ComboBox4->currentIndex(), preset);
    EXPECT_EQ(pages.Label19->text(), "16:9");
    EXPECT_TRUE(pages.ApplyingPreset());

    ProcessEventsFor(30);  // Timer7's tick ends the preset
    EXPECT_FALSE(pages.ApplyingPreset());
    pages.SpinEdit2->setValue(1921);
    EXPECT_EQ(pages.ComboBox4->currentIndex(), 0);
    EXPECT_EQ(pages.Label19->text(), "1921:1080");
    EXPECT_EQ(pages.SpinEdit3->value(), 1080);  // the boxes are not linked

    // Item 0 does nothing.
    pages.NoResizeRadioButton->click();
    pages.ComboBox4->setCurrentIndex(5);
    ProcessEventsFor(30);
    pages.NoResizeRadioButton->click();
    pages.ComboBox4->setCurrentIndex(0);
    EXPECT_TRUE(pages.NoResizeRadioButton->isChecked());
}

TEST(OptionPages, ExamplesFollowTheMasks) {
    OptionPages pages;
    FixClock(pages);
    pages.SpinEdit5->setValue(4);
    pages.Edit2->setText("[C]_[N][E]");
    EXPECT_EQ(pages.RenameExampleText(), "0015_Filename.jpg");
    pages.SpinEdit5->setValue(2);
    EXPECT_EQ(pages.RenameExampleText(), "15_Filename.jpg");
    pages.Edit3->setText("[C]_[N][E]");
    EXPECT_EQ(pages.TextExampleText(), "15_Filename.jpg");

    pages.Edit2->setText("[n]-[t] [d]");
    EXPECT_EQ(pages.RenameExampleText(), "Filename-14_05 09_12_2025");
    pages.Edit3->setText("[T] [D] [ET] [FCD]");
    EXPECT_EQ(pages.TextExampleText(), "14:05 09/12/2025 14:05 09/12/2025");

    // The box's size as of the mask's last change.
    pages.SpinEdit2->setValue(640);
    pages.SpinEdit3->setValue(480);
    pages.Edit2->setText("[W]x[H]");
    EXPECT_EQ(pages.RenameExampleText(), "640x480");
    pages.SpinEdit2->setValue(320);
    EXPECT_EQ(pages.RenameExampleText(), "640x480");

    // A long example is cut at its end in the label, whole in its tool tip.
    pages.resize(400, 200);
    pages.setCurrentWidget(pages.TabSheet4);
    pages.show();
    pages.Edit2->setText(QString(200, 'w') + "[N]");
    ProcessEventsFor(20);
    EXPECT_TRUE(pages.Label17->text().endsWith(QChar(0x2026))) << pages.Label17->text().toStdString();
    EXPECT_LT(pages.Label17->text().size(), 200);
    EXPECT_EQ(pages.Label17->toolTip(), pages.RenameExampleText());
    pages.hide();
}

TEST(OptionPages, VariableMenusInsertAtTheCaret) {
    OptionPages pages;
    pages.Edit2->setText("ab");
    pages.Edit2->setCursorPosition(1);
    pages.findChild<QAction*>("CFilecounter1")->trigger();
    EXPECT_EQ(pages.Edit2->text(), "a[C]b");

    pages.Edit2->setSelection(0, 1);  // the selection is replaced
    pages.findChild<QAction*>("FCTFilecreationtime1")->trigger();
    EXPECT_EQ(pages.Edit2->text(), "[FCT][C]b");

    pages.Edit3->setText("x");
    pages.Edit3->setCursorPosition(0);
    pages.findChild<QAction*>("Exifdate1")->trigger();
    pages.findChild<QAction*>("rademark1")->trigger();
    EXPECT_EQ(pages.Edit3->text(), QString::fromUtf8("[ED]™x"));

    // The rename menu has no EXIF tokens and no symbols.
    QStringList renameTokens;
    for (QAction* action : pages.RenameVariableMenu->actions()) renameTokens << action->objectName();
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
    pages.PngBitBtn4->click();
    EXPECT_EQ(FontSettingText(pages.Options().textFont), "Liberation Sans,204,255,26,0");
    pages.SetFontChooser([](QWidget*, const TextFont&) { return std::optional<TextFont>(); });
    pages.PngBitBtn4->click();
    EXPECT_EQ(pages.Options().textFont.face, "Liberation Sans");
}

TEST(OptionPages, CancellingTheRealDialogsChangesNothing) {
    OptionPages pages;
    pages.Edit1->setText("/tmp");
    // Closes whichever modal dialog is open, as a user pressing Escape would.
    QTimer closer;
    int closed = 0;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (QWidget* dialog = QApplication::activeModalWidget()) {
            dialog->close();
            ++closed;
        }
    });
    closer.start(20);
    pages.PngBitBtn4->click();
    pages.PngBitBtn3->click();
    EXPECT_EQ(closed, 2);
    EXPECT_EQ(FontSettingText(pages.TextStampFont()), "Times New Roman,204,16777215,26,0");
    EXPECT_EQ(pages.Edit1->text(), "/tmp");
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
                if (!hasText || !control->isVisible() || control == pages->Label17 || control == pages->Label25) continue;
                EXPECT_GE(control->width(), control->minimumSizeHint().width()) << control->objectName().toStdString();
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
