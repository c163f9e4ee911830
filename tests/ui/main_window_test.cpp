// The main window driven as a user drives it: settings in and out of the controls, languages,
// the hand-over from a later start, and real runs through Convert.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QStyle>
#include <QTabBar>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QAction>
#include <QMenu>
#include <QMimeData>
#include <QUrl>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QDir>
#include <QKeyEvent>
#include <QStatusBar>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <QToolButton>
#include <atomic>
#include <filesystem>
#include <cstdlib>
#include <functional>

#include "base/file_io.h"
#include "jobs/version_info.h"
#include "support/fixtures.h"
#include "support/job_holder.h"
#include "support/test_support.h"
#include "ui/about_window.h"
#include "ui/file_list.h"
#include "ui/main_window.h"
#include "ui/message_box.h"
#include "ui/option_pages.h"
#include "ui/preview.h"
#include "ui/progress_window.h"
#include "ui/statistics_window.h"
#include "ui/window_texts.h"

namespace zelvan {
namespace {

using test::TempDir;

void ProcessEventsFor(int milliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < milliseconds) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

struct Message {
    QString caption;
    QString text;
};

class MainWindowTest : public ::testing::Test {
protected:
    // Builds the window with its message boxes answered by the test, and starts it.
    std::unique_ptr<MainWindow> Make(const MainWindowPaths& paths) {
        auto window = std::make_unique<MainWindow>(paths);
        window->SetMessageBox([this](QWidget*, QMessageBox::Icon, const QString& caption, const QString& text,
                                     QMessageBox::StandardButtons) {
            messages.push_back({caption, text});
            return answer;
        });
        started = window->Start();
        return window;
    }

    MainWindowPaths Paths() const {
        MainWindowPaths paths;
        paths.programFolder = test::BuildDir() + "/";
        paths.dataFolder = dir / "nothing-here";
        paths.settingsFile = dir / "config/Settings.ini";
        return paths;
    }

    std::unique_ptr<MainWindow> Open() {
        auto window = Make(Paths());
        if (started) window->CreateSecondaryWindows();
        return window;
    }

    // Small grey pictures that every job can convert.
    std::vector<std::string> Pictures(int count, const std::string& folder = "in") {
        std::filesystem::create_directories(dir / folder);
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            const std::string path = dir / (folder + "/p" + std::to_string(i) + ".bmp");
            test::WriteBytes(path, test::MakeBmp24(8 + i, 6, [](int x, int y) {
                return test::Rgba{static_cast<std::uint8_t>(x * 20), static_cast<std::uint8_t>(y * 30), 90, 255};
            }));
            paths.push_back(path);
        }
        return paths;
    }

    // Presses Convert; `whileRunning` is called every few milliseconds while the progress window
    // is up; once the run has finished the window is closed as the user would close it.
    void Convert(MainWindow& window, const std::function<void()>& whileRunning = {}) {
        QTimer poll;
        poll.setInterval(2);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (whileRunning) whileRunning();
            if (window.Progress()->ShowsCompletedRun() && window.Progress()->isVisible()) window.Progress()->close();
        });
        poll.start();
        QElapsedTimer clock;
        clock.start();
        window.onConvertClicked();
        poll.stop();
        ASSERT_LT(clock.elapsed(), 60000);
    }

    TempDir dir;
    bool started = false;
    std::vector<Message> messages;
    QMessageBox::StandardButton answer = QMessageBox::Yes;
};

TEST_F(MainWindowTest, FirstStartShowsDefaultsAndEnglish) {
    auto window = Open();
    ASSERT_TRUE(started);
    const ConversionOptions options = window->Pages()->Options();
    EXPECT_EQ(options.jpegQuality, 85);
    EXPECT_EQ(options.jpeg2000Quality, 75);
    EXPECT_EQ(options.pngCompression, 9);
    EXPECT_EQ(options.renameMask, "[N]_[C]_[W]x[H][E]");
    EXPECT_EQ(options.counterDigits, 3);
    EXPECT_EQ(options.resamplingFilter, 5);
    EXPECT_EQ(options.textPosition, 6);
    EXPECT_EQ(options.threads, ProcessorCount());
    EXPECT_EQ(window->Language().CurrentLanguage(), "English");
    EXPECT_EQ(window->findChild<QMenu*>("N1")->title(), "File");
    EXPECT_EQ(window->size(), QSize(900, 548));
}

// The title and the about window's heading spell the product's name alike, in either language.
TEST_F(MainWindowTest, TitleNamesTheProductAndItsVersion) {
    auto window = Open();
    ASSERT_TRUE(started);
    const QString title = "Zelvan v" + QString::fromStdString(VersionString());
    EXPECT_EQ(window->windowTitle(), title);
    window->ApplyLanguageEverywhere("Russian");
    EXPECT_EQ(window->windowTitle(), title);
    EXPECT_EQ(window->findChild<AboutWindow*>()->findChild<QLabel*>("Label1")->text(), "Zelvan");
}

TEST_F(MainWindowTest, SettingsComeBackAfterClosingAndStartingAgain) {
    {
        auto window = Open();
        OptionPages* pages = window->Pages();
        pages->findChild<QSlider*>("TrackBar1")->setValue(42);
        pages->findChild<QCheckBox*>("CheckBox3")->setChecked(true);
        pages->findChild<QLineEdit*>("Edit2")->setText("[C]-[N]");
        pages->findChild<QComboBox*>("ComboBox1")->setCurrentIndex(3);
        window->ApplyLanguageEverywhere("Russian");
        window->Lifetime().processedFiles.store(7);
        window->Lifetime().processedKiB.store(2048);
        EXPECT_TRUE(window->close());
    }
    ASSERT_TRUE(FileExists(dir / "config/Settings.ini"));
    auto window = Open();
    const ConversionOptions options = window->Pages()->Options();
    EXPECT_EQ(options.jpegQuality, 42);
    EXPECT_TRUE(options.autoFormat);
    EXPECT_EQ(options.renameMask, "[C]-[N]");
    EXPECT_EQ(options.outputFormat, 3);
    EXPECT_FALSE(window->Pages()->findChild<QComboBox*>("ComboBox1")->isEnabled());
    EXPECT_EQ(window->Language().CurrentLanguage(), "Russian");
    EXPECT_EQ(window->findChild<QMenu*>("N1")->title(), QString::fromUtf8("Файл"));
    EXPECT_EQ(window->Lifetime().processedFiles.load(), 7);
    EXPECT_EQ(window->Lifetime().processedKiB.load(), 2048);
}

TEST_F(MainWindowTest, SwitchingLanguagesRetranslatesTheWindows) {
    auto window = Open();
    auto* convert = window->findChild<QPushButton*>("PngBitBtn2");
    const QString english = convert->text();
    window->ApplyLanguageEverywhere("Russian");
    EXPECT_NE(convert->text(), english);
    EXPECT_EQ(window->Progress()->windowTitle().isEmpty(), false);
    const QString russianProgress = window->Progress()->findChild<QLabel*>("Label3")->text();
    window->ApplyLanguageEverywhere("English");
    EXPECT_EQ(convert->text(), english);
    // The main window's keys never reach the controls of the windows it owns.
    EXPECT_EQ(window->findChild<AboutWindow*>()->findChild<QLabel*>("Label1")->text(), "Zelvan");
    EXPECT_NE(window->Progress()->findChild<QLabel*>("Label3")->text(), russianProgress);
}

TEST_F(MainWindowTest, LanguageMenuListsTheSectionsWithTheirFlags) {
    auto window = Open();
    QStringList entries;
    for (QAction* action : window->findChild<QMenu*>("Language1")->actions()) {
        entries << action->text();
        EXPECT_FALSE(action->icon().isNull()) << action->text().toStdString();
    }
    EXPECT_EQ(entries, (QStringList{"English", "Russian"}));
    window->findChild<QMenu*>("Language1")->actions().at(1)->trigger();
    EXPECT_EQ(window->Language().CurrentLanguage(), "Russian");
    EXPECT_EQ(window->Statistics()->findChild<QPushButton*>("PngBitBtn1")->text(), QString::fromUtf8("Закрыть"));
}

// At the first-start size and at the smallest, in both languages: every tab of the option pages
// shows whole (no scroll buttons), no text of a page is cut, Convert and Exit are inside the
// window, and the list's columns fit its width with the file names whole at the first-start size.
// With ZELVAN_SCREENSHOT_DIR set, each state is saved as a picture for a person to look at.
TEST_F(MainWindowTest, EveryTabButtonAndColumnFitsAtTheFirstStartAndTheMinimumSize) {
    const char* folder = std::getenv("ZELVAN_SCREENSHOT_DIR");
    auto window = Open();
    for (const std::string& path : Pictures(2, "Holiday 2024")) window->FileList()->AddFileToList(path);
    test::WriteBytes(dir / "Holiday 2024/IMG_20240812_153012.bmp", test::MakeBmp24(64, 48, [](int, int) {
                         return test::Rgba{90, 90, 90, 255};
                     }));
    window->FileList()->AddFileToList(dir / "Holiday 2024/IMG_20240812_153012.bmp");
    window->show();
    OptionPages* pages = window->Pages();
    QTabBar* tabs = pages->findChild<QTabBar*>();
    FileListView* list = window->FileList();
    for (const char* language : {"English", "Russian"}) {
        window->ApplyLanguageEverywhere(language);
        for (const QSize size : {QSize(900, 548), QSize(764, 423)}) {
            SCOPED_TRACE(std::string(language) + " " + std::to_string(size.width()) + "x" + std::to_string(size.height()));
            window->resize(size);
            ProcessEventsFor(100);
            ASSERT_EQ(window->size(), size);
            const QRect inside = window->rect();
            for (const char* name : {"PngBitBtn2", "CloseButton"}) {
                auto* button = window->findChild<QPushButton*>(name);
                const QRect at(button->mapTo(window.get(), QPoint(0, 0)), button->size());
                EXPECT_TRUE(inside.contains(at)) << name;
                EXPECT_GE(button->width(), button->minimumSizeHint().width()) << name;
                EXPECT_GE(button->height(), button->minimumSizeHint().height()) << name;
            }
            for (int i = 0; i < tabs->count(); ++i) {
                EXPECT_LE(tabs->tabRect(i).right(), tabs->width()) << tabs->tabText(i).toStdString();
                EXPECT_GE(tabs->tabRect(i).width(), tabs->fontMetrics().horizontalAdvance(tabs->tabText(i)));
            }
            for (QToolButton* scroll : tabs->findChildren<QToolButton*>()) EXPECT_FALSE(scroll->isVisible());
            for (int i = 0; i < pages->count(); ++i) {
                pages->setCurrentIndex(i);
                ProcessEventsFor(20);
                QWidget* page = pages->widget(i);
                SCOPED_TRACE(page->objectName().toStdString());
                for (QWidget* control : page->findChildren<QWidget*>()) {
                    if (!control->isVisible()) continue;
                    const QRect at(control->mapTo(page, QPoint(0, 0)), control->size());
                    EXPECT_TRUE(page->rect().contains(at)) << control->objectName().toStdString();
                    if (qobject_cast<QAbstractButton*>(control) || qobject_cast<QComboBox*>(control)) {
                        EXPECT_GE(control->width(), control->minimumSizeHint().width())
                            << control->objectName().toStdString();
                    }
                }
                if (folder && *folder)
                    window->grab().save(QString("%1/main-%2-%3x%4-%5.png").arg(folder, language).arg(size.width())
                                            .arg(size.height()).arg(page->objectName()));
            }
            // The columns fill the list without a horizontal scroll bar.
            int columns = 0;
            for (int column = 0; column < FileListView::ColumnCount; ++column) columns += list->columnWidth(column);
            EXPECT_LE(columns, list->viewport()->width());
            // The names whole: the text and the item's margins (the style's focus frame) fit.
            const int margins = 2 * (list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1);
            for (int row = 0; size.width() == 900 && row < list->topLevelItemCount(); ++row) {
                const QString name = list->topLevelItem(row)->text(FileListView::NameColumn);
                EXPECT_GE(list->columnWidth(FileListView::NameColumn), list->fontMetrics().horizontalAdvance(name) + margins)
                    << name.toStdString();
            }
        }
    }
}

// Ctrl+Return and F9 press Convert (the hints say so); the current language is checked in its
// menu; help opens its file, or says where it is when nothing can open it.
TEST_F(MainWindowTest, ConvertKeysLanguageCheckAndHelpWithoutABrowser) {
    auto window = Open();
    const QList<QKeySequence> keys = window->ConvertShortcut()->shortcuts();
    EXPECT_TRUE(keys.contains(QKeySequence(Qt::CTRL | Qt::Key_Return)));
    EXPECT_TRUE(keys.contains(QKeySequence(Qt::Key_F9)));
    auto* convert = window->findChild<QPushButton*>("PngBitBtn2");
    EXPECT_TRUE(convert->toolTip().contains("F9")) << convert->toolTip().toStdString();
    EXPECT_TRUE(window->findChild<QToolButton*>("ToolButton5")->toolTip().contains("F9"));
    window->ConvertShortcut()->trigger();  // Convert is off without rows: nothing happens
    EXPECT_TRUE(messages.empty());
    window->FileList()->AddFileToList(Pictures(1)[0]);
    test::WriteBytes(dir / "blocker", std::vector<std::uint8_t>{'x'});
    window->Pages()->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "blocker/out"));
    window->ConvertShortcut()->trigger();  // Convert's checks run: the folder cannot be made
    ASSERT_EQ(messages.size(), 1u);
    messages.clear();

    auto checked = [&] {
        QStringList names;
        for (QAction* entry : window->findChild<QMenu*>("Language1")->actions())
            if (entry->isChecked()) names << entry->text();
        return names;
    };
    EXPECT_EQ(checked(), QStringList{"English"});
    window->ApplyLanguageEverywhere("Russian");
    EXPECT_EQ(checked(), QStringList{"Russian"});
    EXPECT_TRUE(convert->toolTip().contains("F9"));

    std::vector<QUrl> opened;
    bool opens = true;
    window->SetUrlOpener([&](const QUrl& url) {
        opened.push_back(url);
        return opens;
    });
    window->findChild<QAction*>("N15")->trigger();
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].toLocalFile().endsWith("/help_ru.html"));
    EXPECT_TRUE(messages.empty());
    opens = false;
    window->findChild<QAction*>("N15")->trigger();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_TRUE(messages[0].text.endsWith("\n\n" + opened[0].toLocalFile())) << messages[0].text.toStdString();
    EXPECT_EQ(messages[0].caption, QString::fromUtf8("Информация"));
}

// The add-files and add-folder dialogs open where they were used last, after a restart too.
TEST_F(MainWindowTest, TheAddDialogsStartWhereTheyWereUsedLast) {
    const std::vector<std::string> pictures = Pictures(1, "photos/day one");
    QStringList starts;
    {
        auto window = Open();
        window->FileList()->SetOpenFilesDialog([&](QWidget*, const QString&, const QString& start, const QString&) {
            starts << start;
            return QStringList{QString::fromStdString(pictures[0])};
        });
        window->FileList()->SetFolderDialog([&](QWidget*, const QString&, const QString& start) {
            starts << start;
            return QString::fromStdString(dir / "photos");
        });
        window->findChild<QAction*>("N17")->trigger();
        window->findChild<QAction*>("N18")->trigger();
        answer = QMessageBox::Yes;
        EXPECT_TRUE(window->close());
    }
    auto window = Open();
    window->FileList()->SetOpenFilesDialog([&](QWidget*, const QString&, const QString& start, const QString&) {
        starts << start;
        return QStringList();
    });
    window->FileList()->SetFolderDialog([&](QWidget*, const QString&, const QString& start) {
        starts << start;
        return QString();
    });
    window->findChild<QAction*>("N17")->trigger();
    window->findChild<QAction*>("N18")->trigger();
    // Nothing remembered at first: the user's pictures folder or home (the list's tests say which).
    EXPECT_FALSE(starts.value(0).isEmpty());
    EXPECT_EQ(starts, (QStringList{starts.value(0), starts.value(0), QString::fromStdString(dir / "photos/day one/"),
                                   QString::fromStdString(dir / "photos")}));
}

TEST_F(MainWindowTest, SettingsThatCannotBeSavedAreReported) {
    MainWindowPaths paths = Paths();
    test::WriteBytes(dir / "a-file", std::vector<std::uint8_t>{'x'});
    paths.settingsFile = dir / "a-file/Settings.ini";
    auto window = Make(paths);
    window->CreateSecondaryWindows();
    EXPECT_FALSE(window->SaveSettings());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, "Unable to save settings.");
    EXPECT_EQ(messages[0].caption, "Error");
}

TEST_F(MainWindowTest, MissingLanguageFileEndsTheStart) {
    MainWindowPaths paths = Paths();
    paths.programFolder = dir / "empty/";
    Make(paths);
    EXPECT_FALSE(started);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].text, QString::fromUtf8("Не найден языковой файл!/Language file not found!"));
}

TEST_F(MainWindowTest, HandOverAddsAcceptedFilesOnly) {
    auto window = Open();
    const auto pictures = Pictures(1);
    test::WriteBytes(dir / "notes.txt", std::vector<std::uint8_t>{'x'});
    window->ReceiveHandOver(QString::fromStdString(pictures[0]));
    window->ReceiveHandOver(QString::fromStdString(dir / "notes.txt"));
    window->ReceiveHandOver(QString::fromStdString(dir / "missing.bmp"));
    window->ReceiveHandOver(QString::fromLatin1("!!!SHOWWINDOW!!!"));
    EXPECT_EQ(window->FileList()->FullPaths(), pictures);
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainWindowTest, DroppedFolderTreeAddsItsImagesSortedByFolder) {
    auto window = Open();
    window->show();
    Pictures(2, "tree/b");
    Pictures(1, "tree/a");
    test::WriteBytes(dir / "tree/a/readme.txt", std::vector<std::uint8_t>{'x'});
    Pictures(1, "tree/.hidden");
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir / "tree"))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    ASSERT_TRUE(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &drop);
    EXPECT_EQ(window->FileList()->FullPaths(),
              (std::vector<std::string>{dir / "tree/a/p0.bmp", dir / "tree/b/p0.bmp", dir / "tree/b/p1.bmp"}));
}

TEST_F(MainWindowTest, ClosingWithRowsAsksFirst) {
    auto window = Open();
    window->show();
    window->FileList()->AddFileToList(Pictures(1)[0]);
    answer = QMessageBox::No;
    EXPECT_FALSE(window->close());
    EXPECT_EQ(window->FileList()->RowCount(), 1);
    answer = QMessageBox::Yes;
    EXPECT_TRUE(window->close());
    EXPECT_TRUE(FileExists(dir / "config/Settings.ini"));
}

TEST_F(MainWindowTest, ConvertChecksBeforeARun) {
    auto window = Open();
    OptionPages* pages = window->Pages();
    pages->findChild<QCheckBox*>("CheckBox5")->setChecked(true);
    pages->findChild<QLineEdit*>("Edit2")->setText("photo");
    window->onConvertClicked();  // an empty list
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages.back().text, Tr(window->Language(), "NoFiles"));
    EXPECT_EQ(pages->findChild<QLineEdit*>("Edit2")->text(), "[C]_photo");

    window->FileList()->AddFileToList(Pictures(1)[0]);
    test::WriteBytes(dir / "a-file", std::vector<std::uint8_t>{'x'});
    pages->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "a-file/out"));
    window->onConvertClicked();  // the output folder cannot be made under a file
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages.back().text, Tr(window->Language(), "DirectoryCreateError"));
    EXPECT_EQ(pages->findChild<QLineEdit*>("Edit1")->text(), QString::fromStdString(dir / "a-file/out/"));
}

TEST_F(MainWindowTest, ConvertRunsEveryFileAndCountsIt) {
    auto window = Open();
    for (const std::string& path : Pictures(4)) window->FileList()->AddFileToList(path);
    OptionPages* pages = window->Pages();
    pages->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "out"));
    pages->findChild<QCheckBox*>("CheckBox5")->setChecked(false);
    pages->findChild<QComboBox*>("ComboBox1")->setCurrentIndex(1);  // PNG
    Convert(*window);
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(FileExists(dir / ("out/p" + std::to_string(i) + ".PNG"))) << i;
    const std::vector<std::string> lines = window->Errors().Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "-----------------------");
    EXPECT_EQ(lines[1], window->Language().LookupText("AllProcessed") + " 4");
    EXPECT_EQ(window->Lifetime().processedFiles.load(), 4);
    EXPECT_EQ(window->Progress()->findChild<QLabel*>("Label4")->text(), "4/4");
    EXPECT_EQ(window->Progress()->findChild<QPlainTextEdit*>("errorlog")->toPlainText().count('\n'), 1);
}

TEST_F(MainWindowTest, RunWhereEveryFileFailsEndsNormally) {
    auto window = Open();
    std::filesystem::create_directories(dir / "bad");
    for (int i = 0; i < 3; ++i) {
        const std::string path = dir / ("bad/b" + std::to_string(i) + ".jpg");
        test::WriteBytes(path, std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0x00, 0x01});
        window->FileList()->AddFileToList(path);
    }
    window->Pages()->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "out"));
    Convert(*window);
    const std::vector<std::string> lines = window->Errors().Lines();
    ASSERT_EQ(lines.size(), 5u);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(lines[i].rfind("AFO:", 0), 0u) << lines[i];
    EXPECT_EQ(lines[4], window->Language().LookupText("AllProcessed") + " 3");
    EXPECT_EQ(window->Progress()->findChild<QPushButton*>("PngBitBtn1")->text(),
              Tr(window->Language(), "progressformPngBitBtn1CaptionClose"));
}

TEST_F(MainWindowTest, JpegTwoThousandRunsOneJobAtATime) {
    auto window = Open();
    for (const std::string& path : Pictures(4)) window->FileList()->AddFileToList(path);
    OptionPages* pages = window->Pages();
    pages->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "out"));
    pages->findChild<QComboBox*>("ComboBox1")->setCurrentIndex(4);
    pages->findChild<QSpinBox*>("SpinEdit1")->setValue(pages->findChild<QSpinBox*>("SpinEdit1")->maximum());
    // Counted on the workers themselves: a poll from this thread can miss jobs this short.
    std::atomic<int> running{0}, most{0};
    window->RunScheduler().SetJobRunner([&](ConversionJob& job) {
        const int now = running.fetch_add(1) + 1;
        for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
        }
        job.Execute();
        running.fetch_sub(1);
    });
    Convert(*window);
    window->RunScheduler().SetJobRunner({});
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(window->Errors().Lines().back(), window->Language().LookupText("AllProcessed") + " 4");
}

TEST_F(MainWindowTest, CancelLetsRunningJobsEndAndLeavesTheQueue) {
    auto window = Open();
    for (const std::string& path : Pictures(7)) window->FileList()->AddFileToList(path);
    OptionPages* pages = window->Pages();
    pages->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "out"));
    pages->findChild<QSpinBox*>("SpinEdit1")->setMinimum(1);
    pages->findChild<QSpinBox*>("SpinEdit1")->setMaximum(2);
    pages->findChild<QSpinBox*>("SpinEdit1")->setValue(2);
    // Jobs are held until the test lets them end, so that Cancel meets two running jobs.
    test::JobHolder held;
    window->RunScheduler().SetJobRunner(held.Runner());
    bool cancelled = false;
    Convert(*window, [&] {
        if (!cancelled && held.Count() == 2) {
            window->Progress()->findChild<QPushButton*>("PngBitBtn1")->click();
            cancelled = true;
            for (ConversionJob* job : held.Held()) held.EndUnrun(job, window->RunScheduler().Counters());
        }
    });
    EXPECT_TRUE(cancelled);
    EXPECT_EQ(held.Started(), 2u);
    EXPECT_FALSE(window->Progress()->isVisible());
    const std::vector<std::string> lines = window->Errors().Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "-----------------------");
    EXPECT_EQ(lines.back(), window->Language().LookupText("AllProcessed") + " 2");
    window->RunScheduler().SetJobRunner({});
}

// The preview never goes on showing a file that has left the list, whether its row was deleted
// or the whole list was.
TEST_F(MainWindowTest, RemovingTheShownFileEmptiesThePreview) {
    auto window = Open();
    for (const std::string& path : Pictures(3)) window->FileList()->AddFileToList(path);
    FileListView* list = window->FileList();
    auto* preview = window->findChild<PreviewPane*>("PreviewPane");
    ASSERT_NE(preview, nullptr);
    const QImage empty = preview->Picture();
    auto showRow = [&](int row) {
        list->clearSelection();
        list->topLevelItem(row)->setSelected(true);
        const QString name = QFileInfo(QString::fromStdString(list->FullPaths()[static_cast<std::size_t>(row)])).fileName();
        QElapsedTimer clock;
        clock.start();
        while ((preview->Loading() || !preview->InfoText().startsWith(name)) && clock.elapsed() < 10000)
            QApplication::processEvents(QEventLoop::AllEvents, 5);
        ASSERT_TRUE(preview->InfoText().startsWith(name)) << preview->InfoText().toStdString();
        ASSERT_NE(preview->Picture().size(), empty.size());
    };
    auto expectEmpty = [&] {
        EXPECT_TRUE(preview->InfoText().isEmpty()) << preview->InfoText().toStdString();
        EXPECT_EQ(preview->Picture(), empty);
        EXPECT_TRUE(preview->PreviewPath().empty());
    };

    showRow(1);
    const std::string deleted = list->FullPaths()[1];
    list->DeleteSelected();
    EXPECT_EQ(list->RowCount(), 2);
    expectEmpty();
    // Nothing the list no longer holds comes back once the preview is idle again.
    QElapsedTimer settle;
    settle.start();
    while (settle.elapsed() < 100) QApplication::processEvents(QEventLoop::AllEvents, 5);
    expectEmpty();
    // The deleted file is no longer counted as listed: it can be added again.
    list->AddFileToList(deleted);
    EXPECT_EQ(list->RowCount(), 3);

    showRow(0);
    list->selectAll();
    list->DeleteSelected();
    EXPECT_EQ(list->RowCount(), 0);
    expectEmpty();
}

// Closing the progress window cancels the run, but its jobs still work: Convert stays off and a
// second run starts nothing until the last of them is reaped, so no figure mixes two runs.
TEST_F(MainWindowTest, ConvertWaitsForTheJobsOfAClosedRun) {
    auto window = Open();
    for (const std::string& path : Pictures(3)) window->FileList()->AddFileToList(path);
    OptionPages* pages = window->Pages();
    pages->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "out"));
    pages->findChild<QSpinBox*>("SpinEdit1")->setMinimum(1);
    pages->findChild<QSpinBox*>("SpinEdit1")->setMaximum(2);
    pages->findChild<QSpinBox*>("SpinEdit1")->setValue(2);
    auto* convertButton = window->findChild<QPushButton*>("PngBitBtn2");
    auto* convertTool = window->findChild<QToolButton*>("ToolButton5");
    ASSERT_NE(convertButton, nullptr);
    ASSERT_NE(convertTool, nullptr);
    test::JobHolder held;
    window->RunScheduler().SetJobRunner(held.Runner());
    Convert(*window, [&] {
        if (held.Count() == 2 && window->Progress()->isVisible()) window->Progress()->close();
    });
    ASSERT_EQ(held.Started(), 2u);
    EXPECT_FALSE(convertButton->isEnabled());
    EXPECT_FALSE(convertTool->isEnabled());

    // One job of the first run ends; a second Convert now shows nothing and starts nothing.
    held.EndUnrun(held.HeldByNumber().front(), window->RunScheduler().Counters());
    bool shown = false;
    Convert(*window, [&] {
        if (window->Progress()->isVisible()) {
            shown = true;
            window->Progress()->close();
        }
    });
    EXPECT_FALSE(shown);
    EXPECT_EQ(held.Started(), 2u);
    EXPECT_EQ(window->RunScheduler().Counters().processed.load(), 1);
    convertTool->click();
    EXPECT_FALSE(window->Progress()->isVisible());
    EXPECT_EQ(held.Started(), 2u);

    // The last job ends: the run completes with its own count and Convert comes back.
    held.EndUnrun(held.HeldByNumber().back(), window->RunScheduler().Counters());
    QElapsedTimer clock;
    clock.start();
    while (!convertButton->isEnabled() && clock.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 5);
    EXPECT_TRUE(convertButton->isEnabled());
    EXPECT_TRUE(convertTool->isEnabled());
    EXPECT_EQ(window->RunScheduler().RunningJobs(), 0u);
    EXPECT_EQ(window->Errors().Lines().back(), window->Language().LookupText("AllProcessed") + " 2");

    window->RunScheduler().SetJobRunner({});
    Convert(*window);
    EXPECT_EQ(window->Errors().Lines().back(), window->Language().LookupText("AllProcessed") + " 3");
}

// A folder handed over by a later start is scanned as a dropped one; a folder handed over while a
// scan runs waits for its end instead of being lost.
TEST_F(MainWindowTest, HandedOverFoldersAreScannedInTheirTurn) {
    auto window = Open();
    window->show();
    const std::vector<std::string> first = Pictures(30, "trip/day1");  // long enough to let events in
    const std::vector<std::string> second = Pictures(2, "later");
    bool handedDuringScan = false;
    QTimer during;
    during.setInterval(0);
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (!window->FileList()->FolderScanActive() || handedDuringScan) return;
        handedDuringScan = true;
        window->ReceiveHandOver(QString::fromStdString(dir / "later"));
    });
    during.start();
    window->ReceiveHandOver(QString::fromStdString(dir / "trip"));
    during.stop();
    ASSERT_TRUE(handedDuringScan);
    QElapsedTimer clock;
    clock.start();
    while (window->FileList()->RowCount() < 32 && clock.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 5);
    std::vector<std::string> expected = second;  // "later" sorts before "trip"
    expected.insert(expected.end(), first.begin(), first.end());
    std::vector<std::string> listed = window->FileList()->FullPaths();
    std::sort(expected.begin(), expected.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);
}

// The command line's relative paths are listed whole: the working folder may change later.
TEST_F(MainWindowTest, CommandLinePathsAreListedWhole) {
    auto window = Open();
    const std::vector<std::string> pictures = Pictures(1, "cwd/sub");
    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QString::fromStdString(dir / "cwd")));
    window->AddCommandLine({"sub"});
    QDir::setCurrent(before);
    EXPECT_EQ(window->FileList()->FullPaths(), pictures);
}

// A run that was not cancelled leaves the progress window open with its summary, however short
// it is and however it was started, until the user closes it: the repeats of a Ctrl+Return still
// held, or Return with a modifier, do not press the Close button the run's end made the default.
TEST_F(MainWindowTest, TheProgressWindowStaysOpenAfterShortRuns) {
    struct Case {
        int files;
        bool byKeys;
    };
    for (const Case& c : {Case{1, true}, Case{5, true}, Case{50, true}, Case{1, false}, Case{5, false}, Case{50, false}}) {
        SCOPED_TRACE(std::to_string(c.files) + (c.byKeys ? " files, Ctrl+Return" : " files, a click"));
        auto window = Open();
        const std::string folder = "short" + std::to_string(c.files) + (c.byKeys ? "k" : "c");
        for (const std::string& path : Pictures(c.files, folder)) window->FileList()->AddFileToList(path);
        window->Pages()->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / (folder + "-out")));
        window->show();
        window->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
        auto* convert = window->findChild<QPushButton*>("PngBitBtn2");
        ProgressWindow* progress = window->Progress();

        bool strayKeysSent = false, openAfterStrayKeys = false, closedByReturn = false;
        QTimer poll;
        poll.setInterval(2);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (!progress->isVisible() || !progress->ShowsCompletedRun()) return;
            QWidget* focus = progress->focusWidget() ? progress->focusWidget() : progress;
            if (!strayKeysSent) {
                strayKeysSent = true;
                for (auto [modifiers, repeat] : {std::pair{Qt::ControlModifier, true}, std::pair{Qt::ControlModifier, false},
                                                 std::pair{Qt::NoModifier, true}}) {
                    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Enter}) {
                        QKeyEvent press(QEvent::KeyPress, key, modifiers, QString(), repeat);
                        QApplication::sendEvent(focus, &press);
                    }
                }
                return;
            }
            // A tick later: still open with the summary; a fresh Return closes it.
            openAfterStrayKeys = progress->isVisible() && progress->ShowsCompletedRun();
            QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(focus, &press);
            closedByReturn = !progress->isVisible();
            if (progress->isVisible()) progress->close();
        });
        poll.start();
        if (c.byKeys) QTest::keyClick(convert, Qt::Key_Return, Qt::ControlModifier);
        else QTest::mouseClick(convert, Qt::LeftButton);
        poll.stop();
        EXPECT_TRUE(strayKeysSent);
        EXPECT_TRUE(openAfterStrayKeys);
        EXPECT_TRUE(closedByReturn);
        EXPECT_EQ(window->Errors().Lines().back(), window->Language().LookupText("AllProcessed") + " " + std::to_string(c.files));
        EXPECT_TRUE(window->statusBar()->currentMessage().isEmpty());
        answer = QMessageBox::Yes;
    }
}

// Cancel closes the progress window; the status bar then says what became of the run's files.
TEST_F(MainWindowTest, ACancelledRunLeavesItsSummaryInTheStatusBar) {
    auto window = Open();
    const std::vector<std::string> pictures = Pictures(7);
    for (const std::string& path : pictures) window->FileList()->AddFileToList(path);
    // The second file, among the two that start, cannot be read.
    test::WriteBytes(pictures[1], std::vector<std::uint8_t>{'B', 'M', 0, 0});
    OptionPages* pages = window->Pages();
    pages->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "out"));
    pages->findChild<QSpinBox*>("SpinEdit1")->setMinimum(1);
    pages->findChild<QSpinBox*>("SpinEdit1")->setMaximum(2);
    pages->findChild<QSpinBox*>("SpinEdit1")->setValue(2);
    window->ApplyLanguageEverywhere("Russian");
    test::JobHolder held;
    window->RunScheduler().SetJobRunner(held.Runner());
    bool cancelled = false;
    Convert(*window, [&] {
        if (!cancelled && held.Count() == 2) {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(window->Progress(), &escape);
            cancelled = true;
            held.RunAll();
        }
    });
    window->RunScheduler().SetJobRunner({});
    ASSERT_TRUE(cancelled);
    EXPECT_FALSE(window->Progress()->isVisible());
    QElapsedTimer clock;
    clock.start();
    while (window->statusBar()->currentMessage().isEmpty() && clock.elapsed() < 10000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
    // One converted, one failed, five not started.
    const QString expected = Tr(window->Language(), "CancelledRunSummary").arg(1).arg(1).arg(5);
    EXPECT_EQ(window->statusBar()->currentMessage(), expected);
    EXPECT_TRUE(expected.startsWith(QString::fromUtf8("Отменено"))) << expected.toStdString();
}

// Convert's keys work from every control of the window that can hold the focus, a line edit
// just typed in among them.
TEST_F(MainWindowTest, ConvertKeysWorkFromEveryFocusedControl) {
    auto window = Open();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    int triggered = 0;
    QObject::connect(window->ConvertShortcut(), &QAction::triggered, [&] { ++triggered; });
    auto* folder = window->Pages()->findChild<QLineEdit*>("Edit1");
    QTabWidget* tabs = window->Pages();
    for (int tab = 0; tab < tabs->count(); ++tab) {
        tabs->setCurrentIndex(tab);
        for (QWidget* control : tabs->widget(tab)->findChildren<QWidget*>()) {
            if (!control->isVisible() || !control->isEnabled() || control->focusPolicy() == Qt::NoFocus) continue;
            control->setFocus();
            if (QApplication::focusWidget() != control) continue;
            if (auto* line = qobject_cast<QLineEdit*>(control)) QTest::keyClicks(line, "x");
            for (QKeyCombination key : {QKeyCombination(Qt::ControlModifier, Qt::Key_Return),
                                        QKeyCombination(Qt::ControlModifier, Qt::Key_Enter),
                                        QKeyCombination(Qt::NoModifier, Qt::Key_F9)}) {
                const int before = triggered;
                QTest::keyClick(QApplication::focusWidget(), key.key(), key.keyboardModifiers());
                EXPECT_EQ(triggered, before + 1) << control->metaObject()->className() << " "
                                                 << control->objectName().toStdString() << " "
                                                 << QKeySequence(key).toString().toStdString();
            }
        }
    }
    // Typed into the output folder, then Tab: Convert's key still starts Convert.
    tabs->setCurrentWidget(folder->parentWidget());
    folder->setFocus();
    QTest::keyClicks(folder, "/tmp/x");
    QTest::keyClick(folder, Qt::Key_Tab);
    const int before = triggered;
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return, Qt::ControlModifier);
    EXPECT_EQ(triggered, before + 1);
}

// In the list, Ctrl+A selects every row and Delete removes every selected row; the menu's Ctrl+A
// (add files) is not opened from the list.
TEST_F(MainWindowTest, CtrlAThenDeleteEmptiesTheList) {
    auto window = Open();
    const std::vector<std::string> pictures = Pictures(5);
    for (const std::string& path : pictures) window->FileList()->AddFileToList(path);
    int dialogs = 0;
    window->FileList()->SetOpenFilesDialog([&](QWidget*, const QString&, const QString&, const QString&) {
        ++dialogs;
        return QStringList();
    });
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    FileListView* list = window->FileList();

    // Two rows of five selected: both go, the others stay in their order.
    list->setFocus();
    list->clearSelection();
    list->topLevelItem(1)->setSelected(true);
    list->topLevelItem(3)->setSelected(true);
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(list->FullPaths(), (std::vector<std::string>{pictures[0], pictures[2], pictures[4]}));

    QTest::keyClick(list, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(list->selectedItems().size(), 3);
    EXPECT_EQ(dialogs, 0);
    QTest::keyClick(list, Qt::Key_Delete);
    EXPECT_EQ(list->RowCount(), 0);

    // Elsewhere in the window Ctrl+A still adds files.
    window->Pages()->setFocus();
    window->findChild<QPushButton*>("PngBitBtn2")->setFocus();
    QTest::keyClick(window->findChild<QPushButton*>("PngBitBtn2"), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(dialogs, 1);
}

// The progress window shows the jobs' own messages in the window's language; the error list
// itself (the log, the command line) keeps them as written.
TEST_F(MainWindowTest, ErrorLinesShowInTheWindowsLanguage) {
    auto window = Open();
    const std::vector<std::string> pictures = Pictures(4);
    for (const std::string& path : pictures) window->FileList()->AddFileToList(path);
    window->Pages()->findChild<QLineEdit*>("Edit1")->setText(QString::fromStdString(dir / "out"));
    window->Pages()->findChild<QCheckBox*>("CheckBox5")->setChecked(false);
    Convert(*window);
    window->ApplyLanguageEverywhere("Russian");
    Convert(*window);  // every output exists now
    const std::vector<std::string> lines = window->Errors().Lines();
    ASSERT_EQ(lines.size(), 6u);
    const QStringList shown = window->Progress()->findChild<QPlainTextEdit*>("errorlog")->toPlainText().split('\n');
    ASSERT_EQ(shown.size(), 6);
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(lines[i].ends_with(": File already exists")) << lines[i];
        EXPECT_TRUE(shown[i].startsWith("AFO:" + QString::fromStdString(dir / "in/p"))) << shown[i].toStdString();
        EXPECT_TRUE(shown[i].endsWith(QString::fromUtf8(": Файл уже существует"))) << shown[i].toStdString();
    }
    EXPECT_EQ(window->Progress()->findChild<QLabel*>("Label4")->text(), "4/4");
    EXPECT_EQ(window->Errors().Lines().back(), window->Language().LookupText("AllProcessed") + " 4");
}

// Only the jobs' own words change; codes, paths (even with ": " in them) and a library's words
// stay as they are.
TEST(LocalisedErrorLine, TranslatesTheJobsOwnMessagesOnly) {
    LanguageFile texts = LanguageFile::Load(test::BuildDir() + "/lang.ini");
    struct Case {
        const char* line;
        const char* russian;
    };
    const Case cases[] = {
        {"AFO:/a: b/x.jpg: File already exists", "AFO:/a: b/x.jpg: Файл уже существует"},
        {"FSE:/o/x.PNG: Cannot write file: No space left on device",
         "FSE:/o/x.PNG: Не удаётся записать файл: No space left on device"},
        {"AFO:/in/a.png: Same output as /in/a.jpg", "AFO:/in/a.png: Тот же файл вывода, что и у /in/a.jpg"},
        {"AFO:/in/c.jpg: Corrupt JPEG data: premature end of data segment",
         "AFO:/in/c.jpg: Corrupt JPEG data: premature end of data segment"},
        {"AFO:/in/File already exists: x", "AFO:/in/File already exists: x"},
        {"-----------------------", "-----------------------"},
    };
    for (const Case& c : cases) {
        texts.SetCurrentLanguage("Russian");
        EXPECT_EQ(LocalisedErrorLine(c.line, texts), c.russian);
        texts.SetCurrentLanguage("English");
        EXPECT_EQ(LocalisedErrorLine(c.line, texts), c.line);
    }
}

}  // namespace
}  // namespace zelvan
