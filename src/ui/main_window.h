#pragma once

#include <QDateTime>
#include <QMainWindow>
#include <QTimer>
#include <memory>
#include <string>

#include "engine/job_environment.h"
#include "engine/settings_file.h"
#include "jobs/error_list.h"
#include "jobs/language.h"
#include "jobs/scheduler.h"

class QAction;
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
class TAboutForm;
class TProgressform;
class TStatisticsform;
class UpdateCheck;

// Where the main window finds its files and keeps its settings; tests point these elsewhere.
struct MainFormPaths {
    std::string programFolder;  // with a trailing "/": lang.ini, help files, rawdll.so
    std::string dataFolder;     // the installed data folder, searched after programFolder
    std::string settingsFile;   // Settings.ini
};
MainFormPaths DefaultMainFormPaths();

// The main window: the file list, the preview, the option pages, Convert and Exit, the menus,
// and the run's timers. It owns the run state, the lifetime counters, the language file and
// the settings for the program's whole life.
class TZelvanMainform : public QMainWindow {
    Q_OBJECT
public:
    explicit TZelvanMainform(MainFormPaths paths, QWidget* parent = nullptr);
    ~TZelvanMainform() override;

    // False when start-up could not finish (no language file): the program then ends.
    bool Created() const { return created_; }

    // The other windows, created after the main window; then the language is applied to all.
    void CreateSecondaryWindows();
    // Command-line arguments: accepted files are added, folders scanned.
    void AddCommandLine(const QStringList& arguments);

    // A text handed over by a later start of the program.
    void ReceiveHandOver(const QString& text);

    // Applies a language to the main window, then to the other three.
    void ApplyLanguageEverywhere(const std::string& language);
    void ApplyLanguage(const std::string& language);

    // Convert: validates, fills the queue and shows the progress window modally until it closes.
    void PngBitBtn2Click();

    // Reads the settings into the controls and writes them back, as at start and close.
    void LoadSettings();
    bool SaveSettings();

    FileListView* FileList() const { return FileListView_; }
    OptionPages* Pages() const { return PageControl1; }
    TProgressform* Progress() const { return progressform_; }
    TStatisticsform* Statistics() const { return statisticsform_; }
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

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void BuildMenus();
    void BuildToolBar();
    void BuildLayout();
    void BuildLanguageMenu();
    void UpdateControlStates(const FileListControlStates& states);
    void SyncTimers();
    void Timer1Timer();
    void Timer2Timer();
    void Timer3Timer();
    void ShowHelp();
    bool FormCloseQuery();
    void FormClose();

    MainFormPaths paths_;
    bool created_ = false;
    bool closing_ = false;
    bool terminateRequested_ = false;
    std::string languagePath_;
    LanguageFile language_;
    IniFile settingsIni_;
    ScreenSize screen_;
    QDateTime lastUpdateDate_;
    QString versionText_;
    QString buildDateText_;

    ErrorList errors_;
    LifetimeCounters lifetime_;
    std::unique_ptr<Scheduler> scheduler_;

    // Controls, named as lang.ini names them.
    QMenu* N1 = nullptr;
    QMenu* N3 = nullptr;
    QMenu* Language1 = nullptr;
    QAction* N17 = nullptr;
    QAction* N18 = nullptr;
    QAction* N10 = nullptr;
    QAction* N2 = nullptr;
    QAction* N15 = nullptr;
    QAction* N4 = nullptr;
    QAction* N126 = nullptr;
    QToolButton* ToolButton1 = nullptr;
    QToolButton* ToolButton2 = nullptr;
    QToolButton* ToolButton4 = nullptr;
    QToolButton* ToolButton5 = nullptr;
    FileListView* FileListView_ = nullptr;
    PreviewPane* preview_ = nullptr;
    OptionPages* PageControl1 = nullptr;
    QWidget* addingIndicator_ = nullptr;
    QPushButton* PngBitBtn2 = nullptr;
    QPushButton* CloseButton = nullptr;
    QSplitter* splitter_ = nullptr;
    QTimer Timer1;
    QTimer Timer2;
    QTimer Timer3;

    TProgressform* progressform_ = nullptr;
    TStatisticsform* statisticsform_ = nullptr;
    TAboutForm* aboutform_ = nullptr;
    UpdateCheck* updateCheck_ = nullptr;
};

}  // namespace zelvan
