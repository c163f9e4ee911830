#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <deque>
#include <memory>
#include <string>

#include "engine/job_environment.h"
#include "engine/settings_file.h"
#include "jobs/error_list.h"
#include "jobs/language.h"
#include "jobs/scheduler.h"
#include "ui/message_box.h"
#include "ui/qt_translations.h"

class QAction;
class QActionGroup;
class QUrl;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;
class QSplitter;
class QToolButton;

namespace zelvan {

class FileListView;
struct FileListControlStates;
class OptionPages;
class PreviewPane;
class AboutWindow;
class ProgressWindow;
class StatisticsWindow;
class UpdateCheck;

// Where the main window finds its files and keeps its settings; tests point these elsewhere.
struct MainWindowPaths {
    std::string programFolder;  // with a trailing "/": lang.ini, help files, rawdll.so
    std::string dataFolder;     // the installed data folder, searched after programFolder
    std::string settingsFile;   // Settings.ini
};
MainWindowPaths DefaultMainWindowPaths();

// The main window: the file list, the preview, the option pages, Convert and Exit, the menus,
// and the run's timers. It owns the run state, the lifetime counters, the language file and
// the settings for the program's whole life.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Builds the window's controls; Start() then fills them.
    explicit MainWindow(MainWindowPaths paths, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Every message box of the main window goes through this; the real box by default, tests
    // answer instead. Set it before Start(), which may already need it.
    void SetMessageBox(MessageBoxFunction show) { messageBox_ = std::move(show); }
    // How the help file, the about window's links and the output folder are opened: the
    // desktop's handler by default. When it fails, a message gives the path or address.
    void SetUrlOpener(UrlOpener open) { urlOpener_ = std::move(open); }

    // Reads the settings and the language file into the window. False when start-up could not
    // finish (no language file): the program then ends.
    bool Start();

    // The other windows, created after the main window; then the language is applied to all.
    void CreateSecondaryWindows();
    // Command-line arguments: accepted files are added, folders scanned.
    void AddCommandLine(const QStringList& arguments);

    // A text handed over by a later start of the program: a file is added, a folder scanned as
    // a dropped one; texts that come while a scan runs wait for its end, in their order.
    void ReceiveHandOver(const QString& text);

    // Applies a language to the main window, then to the other three.
    void ApplyLanguageEverywhere(const std::string& language);
    void ApplyLanguage(const std::string& language);

    // Convert: validates, fills the queue and shows the progress window modally until it closes.
    // Also its shortcuts (Ctrl+Return, F9) while the Convert button is enabled.
    void onConvertClicked();
    QAction* ConvertShortcut() const { return convertShortcut_; }

    // Reads the settings into the controls and writes them back, as at start and close.
    void LoadSettings();
    bool SaveSettings();

    FileListView* FileList() const { return fileList_; }
    OptionPages* Pages() const { return optionPages_; }
    ProgressWindow* Progress() const { return progressWindow_; }
    StatisticsWindow* Statistics() const { return statisticsWindow_; }
    Scheduler& RunScheduler() { return *scheduler_; }
    ErrorList& Errors() { return errors_; }
    LifetimeCounters& Lifetime() { return lifetime_; }
    const LanguageFile& Language() const { return language_; }
    QDateTime& LastUpdateDate() { return lastUpdateDate_; }
    const std::string& LanguageFilePath() const { return languagePath_; }
    // True once the user asked to end the program from the progress window while jobs ran.
    bool TerminateRequested() const { return terminateRequested_; }

    // The texts the other windows are given.
    QString VersionText() const { return versionText_; }
    QString BuildDateText() const { return buildDateText_; }

    // The line the status bar shows after a cancelled run: what became of the run's files.
    QString CancelledRunSummary() const;

protected:
    void closeEvent(QCloseEvent* event) override;
    // Keeps Convert's keys for Convert whichever control of the window has the focus.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildMenus();
    void BuildToolBar();
    void BuildLayout();
    void BuildLanguageMenu();
    void UpdateControlStates(const FileListControlStates& states);
    // True from Convert until the run has completed and its last job has ended, also after the
    // progress window was closed: a second run then would mix its figures with those of the
    // jobs still working.
    bool RunInProgress() const;
    // Convert is offered when the list allows it and no run is in progress.
    void SyncConvertControls();
    // The scheduler's word that the run has completed, delivered on the window's thread.
    void onRunFinished();
    void ShowHelp();
    // Adds the handed-over paths waiting, unless a scan runs (its end calls this again).
    void AddHandedOverPaths();
    // Opens a file or address, or says where it is when nothing can open it.
    void OpenExternally(const QUrl& url, QWidget* owner);
    void ShowConvertHints();
    bool ConfirmClose();
    void PrepareToClose();

    QMessageBox::StandardButton ShowMessage(QMessageBox::Icon icon, const QString& caption, const QString& text,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);

    MainWindowPaths paths_;
    MessageBoxFunction messageBox_;
    UrlOpener urlOpener_;
    bool closing_ = false;
    bool terminateRequested_ = false;
    std::string languagePath_;
    LanguageFile language_;
    QtTranslations qtTranslations_;  // Qt's own texts in the current language
    IniFile settingsIni_;
    ScreenSize screen_;
    QDateTime lastUpdateDate_;
    QString versionText_;
    QString buildDateText_;

    ErrorList errors_;
    LifetimeCounters lifetime_;
    std::unique_ptr<Scheduler> scheduler_;
    // The file list's last states; Convert's are held back while a run is in progress.
    bool listAllowsConvertTool_ = false;
    bool listAllowsConvertButton_ = false;
    // Handed-over paths waiting for a running scan to end.
    std::deque<std::string> handedOver_;
    int runFileCount_ = 0;

    // Controls; their objectNames are lang.ini keys.
    QMenu* fileMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QMenu* languageMenu_ = nullptr;
    QAction* addFilesAction_ = nullptr;
    QAction* addFolderAction_ = nullptr;
    QAction* statisticsAction_ = nullptr;
    QAction* exitAction_ = nullptr;
    QAction* helpAction_ = nullptr;
    QAction* aboutAction_ = nullptr;
    QAction* checkUpdatesAction_ = nullptr;
    QAction* convertShortcut_ = nullptr;
    QActionGroup* languageGroup_ = nullptr;
    QToolButton* addFilesButton_ = nullptr;
    QToolButton* addFolderButton_ = nullptr;
    QToolButton* deleteSelectedButton_ = nullptr;
    QToolButton* convertToolButton_ = nullptr;
    FileListView* fileList_ = nullptr;
    PreviewPane* preview_ = nullptr;
    OptionPages* optionPages_ = nullptr;
    QWidget* addingIndicator_ = nullptr;
    QPushButton* convertButton_ = nullptr;
    QPushButton* exitButton_ = nullptr;
    QSplitter* splitter_ = nullptr;

    ProgressWindow* progressWindow_ = nullptr;
    StatisticsWindow* statisticsWindow_ = nullptr;
    AboutWindow* aboutWindow_ = nullptr;
    UpdateCheck* updateCheck_ = nullptr;
};

}  // namespace zelvan
