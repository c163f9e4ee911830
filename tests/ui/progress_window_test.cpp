// The progress window over real runs: real jobs converting small files, driven by timers the way
// the main window drives them.
#include "ui/progress_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <thread>

#include "support/fixtures.h"
#include "support/job_holder.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using namespace std::chrono_literals;

const char* kLangIni =
    "[English]\n"
    "Progressform=Converting...\nprogressformPngBitBtn1CaptionCancel=Cancel\n"
    "progressformPngBitBtn1CaptionClose=Close\nStopping...=Stopping...\nKiB=KiB\nMiB=MiB\nsecond=s\n"
    "AllProcessed=Files processed:\n"
    "ProgressformLabel3=Processed:\nProgressformLabel9=Time:\nProgressformLabel5=Source data:\n"
    "ProgressformLabel7=Output size:\nProgressformLabel1=Running jobs:\nProgressformPngBitBtn1=Cancel\n"
    "[Russian]\n"
    "Progressform=Преобразование...\nprogressformPngBitBtn1CaptionCancel=Отмена\n"
    "progressformPngBitBtn1CaptionClose=Закрыть\nStopping...=Остановка...\nKiB=КиБ\nMiB=МиБ\nsecond=с\n"
    "AllProcessed=Обработано файлов:\n"
    "ProgressformLabel3=Обработано:\nProgressformLabel5=Исходные данные:\n";

// A 24-bit bitmap of width x height: 54 + padded rows bytes.
void WriteBmp(const std::string& path, int width, int height) {
    test::WriteBytes(path, test::MakeBmp24(width, height, [](int x, int y) {
                         return test::Rgba{static_cast<std::uint8_t>(x * 3), static_cast<std::uint8_t>(y * 5), 90};
                     }));
}

template <typename T>
T* Child(QWidget& window, const char* name) {
    T* child = window.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

std::string Text(QWidget& window, const char* label) { return Child<QLabel>(window, label)->text().toStdString(); }

QStringList LogLines(QWidget& window) {
    return Child<QPlainTextEdit>(window, "errorlog")->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void Pump(std::chrono::milliseconds time) {
    QElapsedTimer timer;
    timer.start();
    do {
        QApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(1ms);
    } while (timer.elapsed() < time.count());
}

class ProgressWindowTest : public ::testing::Test {
protected:
    ProgressWindowTest()
        : scheduler(lifetime, errors, "/nonexistent/rawdll.so"),
          lookups(LanguageFile(IniFile::Parse(kLangIni))),
          form(scheduler, errors, lookups) {
        langIni = dir / "lang.ini";
        std::ofstream(langIni) << kLangIni;
        form.SetTerminateQuestion([this](QWidget*, const QString& caption, const QString& text) {
            questions.push_back((caption + " | " + text).toStdString());
            return answerYes;
        });
        form.SetDecimalSeparator(".");
        QObject::connect(&form, &ProgressWindow::RunCancelled, [this] { ++cancelled; });
        QObject::connect(&form, &ProgressWindow::TerminateRequested, [this] { ++terminate; });
        // As the main window hears it: the run's end, handed to the window's thread.
        scheduler.SetRunFinished([this] {
            QMetaObject::invokeMethod(
                &form,
                [this] {
                    if (scheduler.Finished()) form.CompleteRun();
                },
                Qt::QueuedConnection);
        });
    }

    ~ProgressWindowTest() override {
        // Workers still held end, and the run with them, before the window they report to goes.
        if (holder) holder->EndAllUnrun(scheduler.Counters());
        scheduler.Cancel();
        EXPECT_TRUE(scheduler.WaitUntilFinished(std::chrono::seconds(20)));
    }

    ConversionOptions Options(int threads, int format) {
        ConversionOptions o = DefaultConversionOptions();
        o.threads = threads;
        o.outputFormat = format;
        o.outputFolder = dir / "out";
        o.renameEnabled = false;
        return o;
    }

    // Convert's steps around the window, without showing it.
    void Begin(ConversionOptions options, const std::vector<std::string>& sources) {
        ASSERT_EQ(PrepareRunOptions(options, sources.size()), PrepareResult::Ok);
        form.PrepareForRun(static_cast<int>(sources.size()), options.outputFolder);
        began = scheduler.BeginRun(options, sources, lookups.LookupText("AllProcessed"));
    }

    // Shows the window for the run as Convert does and calls `step` every few milliseconds
    // until the window closes; a run that hangs closes it after 20 s and fails the test.
    void ShowModal(const std::function<void()>& step) {
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, step);
        poll.start();
        QElapsedTimer clock;
        clock.start();
        QTimer guard;
        guard.setInterval(100);
        QObject::connect(&guard, &QTimer::timeout, [&] {
            if (clock.elapsed() > 20000) {
                ADD_FAILURE() << "the window stayed open";
                form.hide();
            }
        });
        guard.start();
        form.ShowForRun();
    }

    // Holds every job the workers start, so that a test decides when jobs run. Call between runs.
    void HoldJobs() {
        holder = std::make_unique<test::JobHolder>();
        scheduler.SetJobRunner(holder->Runner());
    }
    // The held jobs run, and every later one at once.
    void ReleaseJobs() {
        if (holder) holder->RunAll();
    }
    std::size_t HeldCount() const { return holder ? holder->Count() : 0; }

    test::TempDir dir;
    std::string langIni;
    LifetimeCounters lifetime;
    ErrorList errors;
    Scheduler scheduler;
    LanguageFile lookups;
    ProgressWindow form;
    std::unique_ptr<test::JobHolder> holder;
    bool began = false;
    std::vector<std::string> questions;
    bool answerYes = false;
    int cancelled = 0;
    int terminate = 0;
};

TEST_F(ProgressWindowTest, ControlsAndRefreshBeforeAnyRun) {
    EXPECT_EQ(form.objectName(), "Progressform");
    EXPECT_EQ(form.windowTitle(), "Процесс...");
    auto* log = Child<QPlainTextEdit>(form, "errorlog");
    EXPECT_TRUE(log->isReadOnly());
    EXPECT_EQ(log->lineWrapMode(), QPlainTextEdit::NoWrap);
    EXPECT_EQ(log->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(log->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_EQ(Child<QPushButton>(form, "PngBitBtn1")->text(), "Отмена");
    EXPECT_EQ(Text(form, "Label3"), "Обработано: ");
    EXPECT_EQ(Text(form, "Label7"), "Результирующий размер: ");

    // The refresh timer runs from the start, shown or not.
    Pump(250ms);
    EXPECT_EQ(Text(form, "Label4"), "0/100");
    EXPECT_EQ(Text(form, "Label2"), "0");
    EXPECT_EQ(Text(form, "Label6"), "0 KiB");
    // The output size and time keep their texts until a run gives values.
    EXPECT_EQ(Text(form, "Label8"), "0");
    EXPECT_EQ(Text(form, "Label10"), "0");
}

TEST_F(ProgressWindowTest, FiguresDuringAndAfterARun) {
    form.SetDecimalSeparator(",");
    lookups.SetCurrentLanguage("Russian");
    std::vector<std::string> sources = {dir / "big.bmp", dir / "small1.bmp", dir / "small2.bmp"};
    WriteBmp(sources[0], 600, 600);  // 1 080 054 bytes: 1054 KiB
    WriteBmp(sources[1], 100, 100);  // 30 054 bytes: 29 KiB
    WriteBmp(sources[2], 100, 100);
    HoldJobs();
    Begin(Options(2, 2), sources);  // BMP out: outputs as large as the sources
    const auto start = scheduler.State().startedAt;
    form.SetClock([start] { return start + 7500ms; });

    ASSERT_TRUE(holder->WaitForCount(2));
    form.onRefreshTick();
    EXPECT_EQ(Text(form, "Label4"), "0/3");
    EXPECT_EQ(Text(form, "Label2"), "2");
    // The language's unit words while the run goes, as after it.
    EXPECT_EQ(Text(form, "Label6"), "0 КиБ");
    EXPECT_EQ(Text(form, "Label10"), "7,5 с");
    EXPECT_EQ(Child<QProgressBar>(form, "ProgressBar1")->maximum(), 3);

    holder->Run(holder->HeldByNumber()[0]);  // the big one, first in the list
    form.onRefreshTick();
    EXPECT_EQ(Text(form, "Label4"), "1/3");
    EXPECT_EQ(Child<QProgressBar>(form, "ProgressBar1")->value(), 1);
    EXPECT_EQ(Text(form, "Label6"), "1,03 МиБ");
    EXPECT_EQ(Text(form, "Label8"), "1,03 МиБ (100%)");
    EXPECT_EQ(form.Taskbar().Shown().kind, TaskbarProgress::Indicator::Kind::Normal);
    EXPECT_NEAR(form.Taskbar().Shown().fraction, 1.0 / 3, 1e-9);

    ReleaseJobs();
    // The refresh is ticked by hand from here on, so that a slow machine cannot let it rewrite
    // the completion form before the check below sees it.
    form.findChild<QTimer*>("Timer1")->stop();
    bool checked = false;
    ShowModal([&] {
        if (!checked && form.ShowsCompletedRun() && Child<QPushButton>(form, "PngBitBtn1")->text() == "Закрыть") {
            checked = true;
            // The completion form, with the looked-up units.
            EXPECT_EQ(Text(form, "Label4"), "3/3");
            EXPECT_EQ(Text(form, "Label2"), "0");
            EXPECT_EQ(Text(form, "Label6"), "1,09 МиБ");  // 1112 KiB
            EXPECT_EQ(Text(form, "Label8"), "1,09 МиБ (100%)");
            EXPECT_EQ(Child<QPushButton>(form, "PngBitBtn1")->text(), "Закрыть");
            EXPECT_TRUE(Child<QPushButton>(form, "PngBitBtn1")->isEnabled());
            EXPECT_EQ(LogLines(form), QStringList({"-----------------------", "Обработано файлов: 3"}));
            // A refresh after the run changes nothing.
            form.onRefreshTick();
            EXPECT_EQ(Text(form, "Label6"), "1,09 МиБ");
            EXPECT_EQ(Text(form, "Label10"), "7,5 с");
            Child<QPushButton>(form, "PngBitBtn1")->click();  // Close
        }
    });
    EXPECT_TRUE(checked);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.windowTitle(), "Преобразование...");
    // Closing after the run clears the launcher's indicator.
    EXPECT_EQ(form.Taskbar().Shown().kind, TaskbarProgress::Indicator::Kind::None);
    EXPECT_EQ(cancelled, 0);
}

// Each run's figures are its own: the last run's output size never stands beside the new run's
// input, neither before its first job ends nor when its outputs stay below 1 KiB.
TEST_F(ProgressWindowTest, ASecondRunShowsOnlyItsOwnOutputFigure) {
    std::vector<std::string> sources = {dir / "a.bmp"};
    WriteBmp(sources[0], 100, 100);
    Begin(Options(1, 2), sources);
    ShowModal([&] {
        if (form.ShowsCompletedRun()) form.close();
    });
    form.onRefreshTick();
    EXPECT_EQ(Text(form, "Label6"), "29 KiB");
    EXPECT_EQ(Text(form, "Label8"), "29 KiB (100%)");

    // The second run's outputs are each below 1 KiB: its output size stays 0 KiB.
    std::vector<std::string> flat = {dir / "flat.bmp"};
    test::WriteBytes(flat[0], test::MakeBmp24(100, 100, [](int, int) { return test::Rgba{10, 20, 30}; }));
    ConversionOptions png = Options(1, 1);
    HoldJobs();
    Begin(png, flat);
    form.onRefreshTick();
    EXPECT_EQ(Text(form, "Label4"), "0/1");
    EXPECT_EQ(Text(form, "Label6"), "0 KiB");
    EXPECT_EQ(Text(form, "Label8"), "0 KiB");
    ReleaseJobs();
    ShowModal([&] {
        ReleaseJobs();
        if (form.ShowsCompletedRun()) form.close();
    });
    form.onRefreshTick();
    EXPECT_EQ(scheduler.State().counters.outputKiB.load(), 0);
    EXPECT_EQ(Text(form, "Label6"), "29 KiB");
    EXPECT_EQ(Text(form, "Label8"), "0 KiB");
}

// While the run goes, Enter does not cancel it; once it has ended, Close is the default and
// focused button: Enter or Space closes the window.
TEST_F(ProgressWindowTest, EnterOrSpaceClosesTheWindowOnlyAfterTheRun) {
    std::vector<std::string> sources = {dir / "a.bmp"};
    WriteBmp(sources[0], 40, 30);
    auto* button = Child<QPushButton>(form, "PngBitBtn1");
    auto press = [](QWidget* target, Qt::Key key) {
        ASSERT_NE(target, nullptr);
        QKeyEvent down(QEvent::KeyPress, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "\r");
        QKeyEvent up(QEvent::KeyRelease, key, Qt::NoModifier, key == Qt::Key_Space ? " " : "\r");
        QApplication::sendEvent(target, &down);
        QApplication::sendEvent(target, &up);
    };
    for (Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
        SCOPED_TRACE(key == Qt::Key_Return ? "Enter" : "Space");
        HoldJobs();
        Begin(Options(1, 2), sources);
        EXPECT_FALSE(button->isDefault());
        bool pressedDuringRun = false;
        bool pressedAfterRun = false;
        ShowModal([&] {
            if (!pressedDuringRun) {
                pressedDuringRun = true;
                press(&form, Qt::Key_Return);
                EXPECT_EQ(cancelled, 0);
                EXPECT_TRUE(form.isVisible());
                ReleaseJobs();
                return;
            }
            ReleaseJobs();
            if (form.ShowsCompletedRun() && !pressedAfterRun && button->text() == "Close") {
                pressedAfterRun = true;
                EXPECT_TRUE(button->isDefault());
                EXPECT_EQ(form.focusWidget(), button);
                press(key == Qt::Key_Return ? static_cast<QWidget*>(&form) : form.focusWidget(), key);
            }
        });
        EXPECT_TRUE(pressedAfterRun);
        EXPECT_FALSE(form.isVisible());
        EXPECT_EQ(cancelled, 0);
    }
}

// "Open output folder" waits for the end of the run, then opens the run's folder; when no program
// can open it, a message gives its path.
TEST_F(ProgressWindowTest, OpenOutputFolderOnceTheRunHasEnded) {
    std::vector<QUrl> opened;
    bool openerWorks = true;
    form.SetUrlOpener([&](const QUrl& url) {
        opened.push_back(url);
        return openerWorks;
    });
    std::vector<QString> messages;
    form.SetMessageBox([&](QWidget*, QMessageBox::Icon, const QString& caption, const QString& text,
                           QMessageBox::StandardButtons) {
        messages.push_back(caption + " | " + text);
        return QMessageBox::Ok;
    });
    std::vector<std::string> sources = {dir / "a.bmp"};
    WriteBmp(sources[0], 4, 3);
    auto* openFolder = Child<QPushButton>(form, "PngBitBtn2");
    HoldJobs();
    const ConversionOptions options = Options(1, 2);
    Begin(options, sources);
    EXPECT_FALSE(openFolder->isEnabled());
    bool done = false;
    ShowModal([&] {
        if (!form.ShowsCompletedRun()) {
            EXPECT_FALSE(openFolder->isEnabled());
            ReleaseJobs();
            return;
        }
        if (done || Child<QPushButton>(form, "PngBitBtn1")->text() != "Close") return;
        done = true;
        ASSERT_TRUE(openFolder->isEnabled());
        openFolder->click();
        openerWorks = false;
        openFolder->click();
        form.close();
    });
    ASSERT_TRUE(done);
    const QString folder = QString::fromStdString(dir / "out/");
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(folder));
    ASSERT_EQ(messages.size(), 1u);  // only the failed opening tells
    EXPECT_TRUE(messages[0].endsWith("\n\n" + folder)) << messages[0].toStdString();

    // The next run starts with the button off again.
    form.PrepareForRun(1, options.outputFolder);
    EXPECT_FALSE(openFolder->isEnabled());
}

TEST_F(ProgressWindowTest, EveryFileFailingListsItsLineThenTheSummary) {
    std::vector<std::string> sources;
    for (int i = 0; i < 3; ++i) {
        sources.push_back(dir / ("broken" + std::to_string(i) + ".png"));
        test::WriteBytes(sources.back(), std::vector<std::uint8_t>{1, 2, 3, 4});
    }
    Begin(Options(2, 1), sources);
    QStringList shown;
    ShowModal([&] {
        if (form.ShowsCompletedRun()) {
            shown = LogLines(form);
            Child<QPushButton>(form, "PngBitBtn1")->click();
        }
    });
    ASSERT_EQ(shown.size(), 5);
    QStringList jobLines = shown.mid(0, 3);
    jobLines.sort();
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(jobLines[i].startsWith(QString::fromStdString("AFO:" + sources[i] + ": ")))
            << jobLines[i].toStdString();
    EXPECT_EQ(shown[3], "-----------------------");
    EXPECT_EQ(shown[4], "Files processed: 3");
    EXPECT_EQ(Text(form, "Label4"), "3/3");
    EXPECT_EQ(Child<QPushButton>(form, "PngBitBtn1")->text(), "Close");
}

TEST_F(ProgressWindowTest, LinesFromWorkerThreadsShowAtOnceWholeAndInOrder) {
    // Without the refresh timer, so that only the list's own wake-ups can bring the lines in.
    Child<QTimer>(form, "Timer1")->stop();
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([this, t] {
            for (int i = 0; i < 50; ++i) errors.AppendLine("worker " + std::to_string(t) + " line " + std::to_string(i));
        });
    }
    for (auto& w : workers) w.join();
    QApplication::processEvents();
    QStringList expected;
    for (const std::string& line : errors.Lines()) expected << QString::fromStdString(line);
    EXPECT_EQ(LogLines(form), expected);
    EXPECT_EQ(expected.size(), 200);

    // Convert empties the display with the list.
    form.PrepareForRun(1, "");
    errors.Clear();
    errors.AppendLine("next run");
    QApplication::processEvents();
    EXPECT_EQ(LogLines(form), QStringList{"next run"});
}

// A name cannot add lines of its own to the box: its control characters are shown escaped,
// while the list keeps the name as it is.
TEST_F(ProgressWindowTest, ControlCharactersOfANameShowEscaped) {
    form.PrepareForRun(1, "");
    errors.Clear();
    const std::string forged = "AFO:Not a PNG file /tmp/bad\n-----------------------\r\x1B[2Jx\\y.png";
    errors.AppendLine(forged);
    errors.AppendLine(kErrorListSeparator);
    QApplication::processEvents();
    EXPECT_EQ(LogLines(form), (QStringList{"AFO:Not a PNG file /tmp/bad\\n-----------------------\\r\\x1B[2Jx\\\\y.png",
                                           kErrorListSeparator}));
    EXPECT_EQ(errors.Lines().front(), forged);
}

TEST_F(ProgressWindowTest, CancelStopsQueuedFilesAndClosesAfterTheLastReap) {
    std::vector<std::string> sources;
    for (int i = 0; i < 7; ++i) {
        sources.push_back(dir / ("f" + std::to_string(i) + ".bmp"));
        WriteBmp(sources.back(), 40, 30);
    }
    HoldJobs();
    Begin(Options(2, 1), sources);
    bool pressed = false;
    ShowModal([&] {
        if (!pressed && HeldCount() == 2) {
            pressed = true;
            Child<QPushButton>(form, "PngBitBtn1")->click();
            EXPECT_EQ(form.windowTitle(), "Stopping...");
            EXPECT_FALSE(Child<QPushButton>(form, "PngBitBtn1")->isEnabled());
            EXPECT_EQ(form.Taskbar().Shown().kind, TaskbarProgress::Indicator::Kind::Indeterminate);
            EXPECT_EQ(Child<QProgressBar>(form, "ProgressBar1")->maximum(), 0);  // busy bar
            EXPECT_TRUE(form.isVisible());
            ReleaseJobs();
        }
    });
    EXPECT_TRUE(pressed);
    EXPECT_EQ(cancelled, 1);
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(scheduler.RunningJobs(), 0u);
    EXPECT_EQ(scheduler.State().counters.processed.load(), 2);
    const auto out = std::filesystem::path(dir / "out");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out), std::filesystem::directory_iterator{}), 2);
    EXPECT_EQ(LogLines(form), QStringList({"-----------------------", "Files processed: 2"}));
    // After Cancel the completion leaves no indicator.
    EXPECT_EQ(form.Taskbar().Shown().kind, TaskbarProgress::Indicator::Kind::None);
    EXPECT_EQ(Child<QPushButton>(form, "PngBitBtn1")->text(), "Close");
}

TEST_F(ProgressWindowTest, TheCloseBoxDuringARunCancelsAndClosesAtOnce) {
    std::vector<std::string> sources;
    for (int i = 0; i < 4; ++i) {
        sources.push_back(dir / ("f" + std::to_string(i) + ".bmp"));
        WriteBmp(sources.back(), 40, 30);
    }
    HoldJobs();
    Begin(Options(1, 1), sources);
    ShowModal([&] {
        if (HeldCount() == 1 && form.isVisible() && cancelled == 0) form.close();
    });
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(cancelled, 1);
    EXPECT_TRUE(scheduler.CloseWhenDone());
    EXPECT_EQ(scheduler.RunningJobs(), 1u);
    EXPECT_EQ(scheduler.QueuedFiles(), 3u) << "no further job starts";
    // The started job goes on in the background and the run completes without the window.
    ReleaseJobs();
    QElapsedTimer clock;
    clock.start();
    while (!scheduler.Finished() && clock.elapsed() < 10000) Pump(10ms);
    EXPECT_TRUE(scheduler.Finished());
    // The run ends on a worker; its last lines reach the window through its event queue.
    Pump(50ms);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(LogLines(form), QStringList({"-----------------------", "Files processed: 1"}));
}

TEST_F(ProgressWindowTest, ClosingAfterCancelWithJobsRunningAsksToTerminate) {
    std::vector<std::string> sources = {dir / "a.bmp", dir / "b.bmp"};
    WriteBmp(sources[0], 40, 30);
    WriteBmp(sources[1], 40, 30);
    HoldJobs();
    Begin(Options(2, 1), sources);
    int phase = 0;
    ShowModal([&] {
        if (phase == 0 && HeldCount() == 2) {
            Child<QPushButton>(form, "PngBitBtn1")->click();  // Cancel
            phase = 1;
        } else if (phase == 1) {
            answerYes = false;
            form.close();
            EXPECT_TRUE(form.isVisible());  // No: the window stays
            EXPECT_EQ(terminate, 0);
            answerYes = true;
            form.close();
            phase = 2;
        }
    });
    EXPECT_EQ(phase, 2);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(terminate, 1);
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_EQ(questions[0], "Emergency shutdown | Terminate program?");
    ReleaseJobs();
}

// A run whose workers cannot be made ends at once: the window is never shown for it and its list
// says that nothing was processed.
TEST_F(ProgressWindowTest, ARunWithoutWorkersEndsAtOnce) {
    std::vector<std::string> sources = {dir / "a.bmp", dir / "b.bmp"};
    WriteBmp(sources[0], 40, 30);
    WriteBmp(sources[1], 40, 30);
    scheduler.SetThreadMaker([](std::function<void()>) -> std::thread {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    });
    Begin(Options(1, 1), sources);
    EXPECT_FALSE(began);
    EXPECT_TRUE(scheduler.Finished());
    Pump(50ms);
    EXPECT_FALSE(form.isVisible());
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(LogLines(form), QStringList({"-----------------------", "Files processed: 0"}));
    EXPECT_FALSE(std::filesystem::exists(dir / "out/a.png"));
}

TEST_F(ProgressWindowTest, WindowTextsFromTheLanguageFile) {
    form.ApplyLanguage(langIni, "English");
    EXPECT_EQ(form.windowTitle(), "Converting...");
    EXPECT_EQ(Text(form, "Label9"), "Time:");
    EXPECT_EQ(Text(form, "Label7"), "Output size:");
    form.ApplyLanguage(langIni, "Russian");
    EXPECT_EQ(form.windowTitle(), "Преобразование...");
    EXPECT_EQ(Text(form, "Label5"), "Исходные данные:");
    EXPECT_EQ(Text(form, "Label9"), "Time:");  // Russian lacks it: the English text stays
    // A missing file changes nothing.
    form.ApplyLanguage(dir / "missing.ini", "English");
    EXPECT_EQ(Text(form, "Label5"), "Исходные данные:");
}

}  // namespace
}  // namespace zelvan
