#include "ui/main_window.h"

#include <QAction>
#include <QActionGroup>
#include <QCheckBox>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QStatusBar>
#include <QTimer>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStyle>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>
#include <algorithm>

#include "base/error.h"
#include "base/file_io.h"
#include "base/path_util.h"
#include "base/program_folder.h"
#include "engine/extensions.h"
#include "ui/about_window.h"
#include "ui/file_list.h"
#include "ui/message_box.h"
#include "ui/option_pages.h"
#include "ui/recipe_chooser.h"
#include "ui/preview.h"
#include "ui/progress_window.h"
#include "ui/single_instance.h"
#include "ui/statistics_window.h"
#include "ui/update_ui.h"
#include "ui/window_texts.h"
#include "jobs/version_info.h"

namespace zelvan {

namespace {

constexpr const char* kComponentName = "ZelvanMainform";

// A flag of the language menu, and the same flag ticked for the current language: styles that
// show an item's icon in place of its check mark then still mark the current one.
QIcon LanguageIcon(const QPixmap& flag) {
    QPixmap plain(16, 16);
    plain.fill(Qt::transparent);
    {
        QPainter painter(&plain);
        painter.drawPixmap(0, 3, flag);
    }
    QPixmap ticked = plain;
    {
        QPainter painter(&ticked);
        painter.setRenderHint(QPainter::Antialiasing);
        const QPointF tick[] = {{2.5, 8.5}, {6.5, 12.5}, {14, 3}};
        painter.setPen(QPen(Qt::white, 4.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(tick, 3);
        painter.setPen(QPen(QColor(0, 110, 0), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(tick, 3);
    }
    QIcon icon;
    icon.addPixmap(plain, QIcon::Normal, QIcon::Off);
    icon.addPixmap(ticked, QIcon::Normal, QIcon::On);
    icon.addPixmap(ticked, QIcon::Active, QIcon::On);
    return icon;
}

// The language menu's flags, 16 by 10.
QPixmap RussianFlag() {
    QPixmap pixmap(16, 10);
    QPainter painter(&pixmap);
    painter.fillRect(0, 0, 16, 4, Qt::white);
    painter.fillRect(0, 3, 16, 4, QColor(0, 57, 166));
    painter.fillRect(0, 7, 16, 3, QColor(213, 43, 30));
    return pixmap;
}

QPixmap BritishFlag() {
    QPixmap pixmap(16, 10);
    pixmap.fill(QColor(1, 33, 105));
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Qt::white, 3));
    painter.drawLine(0, 0, 16, 10);
    painter.drawLine(0, 10, 16, 0);
    painter.setPen(QPen(QColor(200, 16, 46), 1));
    painter.drawLine(0, 0, 16, 10);
    painter.drawLine(0, 10, 16, 0);
    painter.fillRect(6, 0, 4, 10, Qt::white);
    painter.fillRect(0, 3, 16, 4, Qt::white);
    painter.fillRect(7, 0, 2, 10, QColor(200, 16, 46));
    painter.fillRect(0, 4, 16, 2, QColor(200, 16, 46));
    return pixmap;
}

ScreenSize PrimaryScreenSize() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return {};
    return {screen->size().width(), screen->size().height()};
}

}  // namespace

MainWindowPaths DefaultMainWindowPaths() {
    MainWindowPaths paths;
    paths.programFolder = ProgramFolder();
    paths.dataFolder = DataFolder(ZELVAN_DATA_DIR);
    paths.settingsFile = SettingsFilePath();
    return paths;
}

MainWindow::MainWindow(MainWindowPaths paths, QWidget* parent)
    : QMainWindow(parent), paths_(std::move(paths)), messageBox_(ShowMessageBox), urlOpener_(OpenWithDesktop) {
    setObjectName(kComponentName);
    setMinimumSize(kMainWindowMinWidth, kMainWindowMinHeight);
    screen_ = PrimaryScreenSize();

    scheduler_ = std::make_unique<Scheduler>(lifetime_, errors_, paths_.programFolder + "rawdll.so");
    // The run's end comes from a worker thread: it is handed to the window's own thread.
    scheduler_->SetRunFinished([this] { QMetaObject::invokeMethod(this, [this] { onRunFinished(); }, Qt::QueuedConnection); });

    BuildMenus();
    BuildToolBar();
    BuildLayout();

    versionText_ = QString::fromStdString(VersionString());
    buildDateText_ = zelvan::BuildDateText(BuildDate(), QLocale::system());
    setWindowTitle(ProductDisplayName() + " v" + versionText_);
}

bool MainWindow::Start() {
    // Settings into the controls, then the language over them.
    LoadSettings();
    updateCheck_ = new UpdateCheck(this, language_, lastUpdateDate_);
    checkUpdatesAction_->setVisible(true);

    // Without its texts the program cannot show itself: it says so in both languages and ends.
    languagePath_ = FindLanguageFile(paths_.programFolder, paths_.dataFolder);
    try {
        if (languagePath_.empty()) throw Error("lang.ini not found");
        const std::string current = language_.CurrentLanguage();
        language_ = LanguageFile::Load(languagePath_);
        language_.SetCurrentLanguage(current);
    } catch (const Error&) {
        // The window has not been shown: the box stands alone.
        messageBox_(nullptr, QMessageBox::Critical, QString::fromUtf8("Error/Ошибка"),
                    QString::fromUtf8("Не найден языковой файл!/Language file not found!"), QMessageBox::Ok);
        return false;
    }
    ApplyLanguage(language_.CurrentLanguage());
    BuildLanguageMenu();

    // The option pages get the width their seven tabs need in this language; the list the rest.
    const int pagesWidth = optionPages_->sizeHint().width() + 16;
    splitter_->setSizes({std::max(260, width() - pagesWidth), pagesWidth});

    setAcceptDrops(true);
    fileList_->UpdateControlStates();
    updateCheck_->StartReminderIfDue();
    return true;
}

QMessageBox::StandardButton MainWindow::ShowMessage(QMessageBox::Icon icon, const QString& caption,
                                                    const QString& text, QMessageBox::StandardButtons buttons) {
    return messageBox_(this, icon, caption, text, buttons);
}

MainWindow::~MainWindow() {
    // The other windows and the widgets hold references into the run state, the error list and
    // the language file, which are members: they go first. A run still going is cancelled and
    // its running jobs end their files before the scheduler goes.
    scheduler_->Cancel();
    delete progressWindow_;
    delete statisticsWindow_;
    delete aboutWindow_;
    delete updateCheck_;
    delete takeCentralWidget();
    scheduler_.reset();
}

void MainWindow::BuildMenus() {
    fileMenu_ = menuBar()->addMenu(QString::fromUtf8("Файл"));
    fileMenu_->setObjectName("N1");
    addFilesAction_ = fileMenu_->addAction(QString::fromUtf8("Добавить файлы..."));
    addFilesAction_->setObjectName("N17");
    addFilesAction_->setShortcut(QKeySequence("Ctrl+A"));
    addFolderAction_ = fileMenu_->addAction(QString::fromUtf8("Добавить папку..."));
    addFolderAction_->setObjectName("N18");
    addFolderAction_->setShortcut(QKeySequence("Ctrl+D"));
    fileMenu_->addSeparator()->setObjectName("N16");
    statisticsAction_ = fileMenu_->addAction(QString::fromUtf8("Статистика"));
    statisticsAction_->setObjectName("N10");
    fileMenu_->addSeparator()->setObjectName("N9");
    exitAction_ = fileMenu_->addAction(QString::fromUtf8("Выход"));
    exitAction_->setObjectName("N2");
    exitAction_->setShortcut(QKeySequence("Alt+F4"));

    helpMenu_ = menuBar()->addMenu(QString::fromUtf8("Помощь"));
    helpMenu_->setObjectName("N3");
    helpAction_ = helpMenu_->addAction(QString::fromUtf8("Справка"));
    helpAction_->setObjectName("N15");
    helpAction_->setShortcut(QKeySequence(Qt::Key_F1));
    aboutAction_ = helpMenu_->addAction(QString::fromUtf8("О программе"));
    aboutAction_->setObjectName("N4");
    helpMenu_->addSeparator()->setObjectName("N20");
    languageMenu_ = helpMenu_->addMenu(QString::fromUtf8("Язык"));
    languageMenu_->setObjectName("Language1");
    checkUpdatesAction_ = helpMenu_->addAction(QString::fromUtf8("Проверить обновления..."));
    checkUpdatesAction_->setObjectName("N126");
    checkUpdatesAction_->setVisible(false);

    connect(exitAction_, &QAction::triggered, this, &QWidget::close);
    connect(statisticsAction_, &QAction::triggered, this, [this] {
        statisticsWindow_->ShowStatistics(languagePath_, language_.CurrentLanguage());
    });
    connect(helpAction_, &QAction::triggered, this, &MainWindow::ShowHelp);
    connect(aboutAction_, &QAction::triggered, this, [this] { aboutWindow_->ShowAbout(versionText_, buildDateText_); });
    connect(checkUpdatesAction_, &QAction::triggered, this, [this] { updateCheck_->CheckForUpdates(); });
}

void MainWindow::BuildToolBar() {
    QToolBar* bar = addToolBar(QStringLiteral("ToolBar1"));
    bar->setObjectName("ToolBar1");
    bar->setMovable(false);
    bar->setIconSize(QSize(24, 24));
    auto makeButton = [&](const char* name, QStyle::StandardPixmap icon, const QString& themeIcon,
                          const QString& hint) {
        auto* button = new QToolButton(bar);
        button->setObjectName(name);
        button->setIcon(QIcon::fromTheme(themeIcon, style()->standardIcon(icon)));
        button->setToolTip(hint);
        button->setAutoRaise(true);
        bar->addWidget(button);
        return button;
    };
    addFolderButton_ = makeButton("ToolButton2", QStyle::SP_DirOpenIcon, "folder-open",
                             QString::fromUtf8("Добавить папку..."));
    bar->addSeparator();
    addFilesButton_ = makeButton("ToolButton1", QStyle::SP_FileIcon, "document-open",
                             QString::fromUtf8("Добавить файлы..."));
    deleteSelectedButton_ = makeButton("ToolButton4", QStyle::SP_TrashIcon, "list-remove",
                             QString::fromUtf8("Удалить выбранное"));
    bar->addSeparator();
    convertToolButton_ = makeButton("ToolButton5", QStyle::SP_MediaPlay, "system-run",
                             QString::fromUtf8("Преобразовать"));
}

void MainWindow::BuildLayout() {
    auto* central = new QWidget(this);
    auto* outer = new QVBoxLayout(central);
    outer->setContentsMargins(6, 4, 6, 6);

    splitter_ = new QSplitter(Qt::Horizontal, central);
    fileList_ = new FileListView(splitter_);
    auto* right = new QWidget(splitter_);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    preview_ = new PreviewPane(scheduler_->previewGate, right);
    optionPages_ = new OptionPages(right);
    optionPages_->Recipes()->SetFolders(RecipeFolders(ProgramFolder(), DataFolder(ZELVAN_DATA_DIR)));
    optionPages_->Recipes()->SetRunOptions([this] { return optionPages_->Options(); });
    rightLayout->addWidget(preview_, 1);
    rightLayout->addWidget(optionPages_, 0);
    splitter_->addWidget(fileList_);
    splitter_->addWidget(right);
    splitter_->setStretchFactor(0, 1);
    splitter_->setStretchFactor(1, 0);
    outer->addWidget(splitter_, 1);

    auto* bottom = new QHBoxLayout;
    auto* busy = new QProgressBar(central);
    busy->setRange(0, 0);  // an indeterminate bar while files are being added
    busy->setMaximumWidth(160);
    busy->setMaximumHeight(14);
    busy->setTextVisible(false);
    busy->setVisible(false);
    addingIndicator_ = busy;
    bottom->addWidget(busy);
    bottom->addStretch(1);
    convertButton_ = new QPushButton(QString::fromUtf8("Преобразовать"), central);
    convertButton_->setObjectName("PngBitBtn2");
    convertButton_->setIcon(QIcon::fromTheme("system-run", style()->standardIcon(QStyle::SP_MediaPlay)));
    convertButton_->setDefault(true);
    exitButton_ = new QPushButton(QString::fromUtf8("Выход"), central);
    exitButton_->setObjectName("CloseButton");
    exitButton_->setIcon(QIcon::fromTheme("application-exit", style()->standardIcon(QStyle::SP_DialogCloseButton)));
    bottom->addWidget(convertButton_);
    bottom->addWidget(exitButton_);
    outer->addLayout(bottom);
    setCentralWidget(central);

    // Convert from the keyboard wherever the focus is, as long as the button could be pressed.
    convertShortcut_ = new QAction(this);
    convertShortcut_->setShortcuts({QKeySequence(Qt::CTRL | Qt::Key_Return), QKeySequence(Qt::CTRL | Qt::Key_Enter),
                                    QKeySequence(Qt::Key_F9)});
    convertShortcut_->setShortcutContext(Qt::WindowShortcut);
    addAction(convertShortcut_);
    // A control that claims a key for itself (ShortcutOverride) would keep it from the shortcut.
    qApp->installEventFilter(this);
    connect(convertShortcut_, &QAction::triggered, this, [this] {
        if (convertButton_->isEnabled()) onConvertClicked();
    });

    connect(convertButton_, &QPushButton::clicked, this, &MainWindow::onConvertClicked);
    connect(exitButton_, &QPushButton::clicked, this, &QWidget::close);
    connect(convertToolButton_, &QToolButton::clicked, this, [this] {
        if (convertToolButton_->isEnabled()) onConvertClicked();
    });
    connect(addFilesAction_, &QAction::triggered, fileList_, &FileListView::AddFilesDialog);
    connect(addFolderAction_, &QAction::triggered, fileList_, &FileListView::AddFolderDialog);
    connect(addFilesButton_, &QToolButton::clicked, addFilesAction_, &QAction::trigger);
    connect(addFolderButton_, &QToolButton::clicked, addFolderAction_, &QAction::trigger);
    connect(deleteSelectedButton_, &QToolButton::clicked, fileList_, &FileListView::DeleteSelected);
    connect(fileList_, &FileListView::ControlStatesChanged, this, &MainWindow::UpdateControlStates);
    connect(fileList_, &FileListView::AddingChanged, busy, &QWidget::setVisible);
    // Hand-overs that came during a scan go in once it has ended (after its last flag is down).
    connect(fileList_, &FileListView::AddingChanged, this, [this](bool adding) {
        if (!adding && !handedOver_.empty()) QTimer::singleShot(0, this, &MainWindow::AddHandedOverPaths);
    }, Qt::QueuedConnection);
    connect(fileList_, &FileListView::CurrentPathChanged, preview_,
            [this](const std::string& path) { preview_->ShowPreview(path); });
    connect(fileList_, &FileListView::RowsChanged, preview_, [this] {
        preview_->DropUnlisted([this](const std::string& path) { return fileList_->Lists(path); });
    });
    preview_->SetListHasRows([this] { return fileList_->RowCount() > 0; });
    // The preview shows a photo upright when the conversion would turn it, and follows the option.
    preview_->SetUpright([this] { return optionPages_->Options().autoRotate; });
    if (auto* rotate = optionPages_->findChild<QCheckBox*>(QLatin1String(FindOption("Auto_rotate")->control)))
        connect(rotate, &QCheckBox::toggled, preview_, [this] { preview_->Reload(); });
}

void MainWindow::CreateSecondaryWindows() {
    progressWindow_ = new ProgressWindow(*scheduler_, errors_, language_, this);
    statisticsWindow_ = new StatisticsWindow(lifetime_, this);
    aboutWindow_ = new AboutWindow(this);
    aboutWindow_->SetUrlOpener([this](const QUrl& url) { OpenExternally(url, aboutWindow_); });
    // The progress window opens the output folder through the same opener and message boxes.
    progressWindow_->SetUrlOpener([this](const QUrl& url) { return urlOpener_(url); });
    progressWindow_->SetMessageBox([this](QWidget* owner, QMessageBox::Icon icon, const QString& caption,
                                          const QString& text, QMessageBox::StandardButtons buttons) {
        return messageBox_(owner, icon, caption, text, buttons);
    });
    connect(progressWindow_, &ProgressWindow::RunCancelled, this, &MainWindow::SyncConvertControls);
    connect(progressWindow_, &ProgressWindow::TerminateRequested, this, [this] {
        terminateRequested_ = true;
        QCoreApplication::exit(0);
    });
    ApplyLanguageEverywhere(language_.CurrentLanguage());
}

void MainWindow::ApplyLanguage(const std::string& language) {
    language_.SetCurrentLanguage(language);
    qtTranslations_.Apply(language);
    ApplyWindowTexts(*this, kComponentName, language_, language, MainWindowTextRules());
    fileList_->SetOpenDialogTitle(WindowTextOf(language_, language, std::string(kComponentName) + "OpenDialog",
                                                   fileList_->OpenDialogTitle()));
    fileList_->ApplyLanguage(language_);
    optionPages_->ApplyLanguageLists(language_);
    optionPages_->Recipes()->SetTexts(&language_);
    ShowConvertHints();
    if (languageGroup_) {
        for (QAction* entry : languageGroup_->actions()) entry->setChecked(entry->data().toString().toStdString() == language);
    }
}

void MainWindow::ShowConvertHints() {
    QStringList keys;
    for (const QKeySequence& key : convertShortcut_->shortcuts())
        if (key[0].key() != Qt::Key_Enter) keys << key.toString(QKeySequence::NativeText);  // Return stands for both
    const std::string& language = language_.CurrentLanguage();
    const QString shortcuts = " (" + keys.join(", ") + ")";
    convertButton_->setToolTip(
        WindowTextOf(language_, language, std::string(kComponentName) + "PngBitBtn2Hint", convertButton_->text()) +
        shortcuts);
    convertToolButton_->setToolTip(
        WindowTextOf(language_, language, std::string(kComponentName) + "ToolButton5Hint", convertButton_->text()) +
        shortcuts);
}

void MainWindow::ApplyLanguageEverywhere(const std::string& language) {
    ApplyLanguage(language);
    if (progressWindow_) progressWindow_->ApplyLanguage(languagePath_, language);
    if (aboutWindow_) aboutWindow_->ApplyLanguage(languagePath_, language);
    if (statisticsWindow_) statisticsWindow_->ApplyLanguage(languagePath_, language);
}

void MainWindow::BuildLanguageMenu() {
    const std::vector<std::string> languages = language_.Languages();
    // The current language carries a check mark.
    languageGroup_ = new QActionGroup(this);
    for (std::size_t i = 0; i < languages.size(); ++i) {
        const QString name = QString::fromStdString(languages[i]);
        QAction* entry = languageMenu_->addAction(name);
        entry->setCheckable(true);
        entry->setData(name);
        entry->setChecked(languages[i] == language_.CurrentLanguage());
        languageGroup_->addAction(entry);
        // The flag goes by the section's name, so that the file's order of sections never
        // puts one language's flag beside another.
        if (languages[i] == "Russian") entry->setIcon(LanguageIcon(RussianFlag()));
        if (languages[i] == "English") entry->setIcon(LanguageIcon(BritishFlag()));
        const std::string language = languages[i];
        connect(entry, &QAction::triggered, this, [this, language] { ApplyLanguageEverywhere(language); });
    }
}

bool MainWindow::RunInProgress() const { return scheduler_->InProgress(); }

void MainWindow::UpdateControlStates(const FileListControlStates& states) {
    listAllowsConvertTool_ = states.convertTool;
    listAllowsConvertButton_ = states.convertButton;
    convertToolButton_->setEnabled(states.convertTool && !RunInProgress());
    convertButton_->setEnabled(states.convertButton && !RunInProgress());
    deleteSelectedButton_->setEnabled(states.deleteSelected);
    addFolderAction_->setEnabled(states.addFolder);
    addFolderButton_->setEnabled(states.addFolder);
}

void MainWindow::AddCommandLine(const QStringList& arguments) {
    // Rows keep whole paths: a relative one would change its meaning with the working folder.
    std::vector<std::string> paths;
    for (const QString& argument : arguments)
        paths.push_back(QFile::encodeName(QFileInfo(argument).absoluteFilePath()).toStdString());
    fileList_->AddCommandLinePaths(paths);
    preview_->RememberBoxSize();
}

void MainWindow::ReceiveHandOver(const QString& text) {
    if (text == QLatin1String(kShowWindowRequest)) {
        if (isMinimized()) showNormal();
        show();
        raise();
        activateWindow();
        return;
    }
    handedOver_.push_back(QFile::encodeName(text).toStdString());
    AddHandedOverPaths();
}

void MainWindow::AddHandedOverPaths() {
    // A folder's scan lets the window take further hand-overs meanwhile: they queue behind it.
    while (!handedOver_.empty() && !fileList_->FolderScanActive()) {
        const std::string path = std::move(handedOver_.front());
        handedOver_.pop_front();
        if (DirectoryExists(path)) fileList_->AddFolderTree(path);
        else if (FileExists(path) && IsAcceptedExtension(ExtractFileExt(path))) fileList_->AddFileToList(path);
    }
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && !fileList_->FolderScanActive()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    event->acceptProposedAction();
    fileList_->AddPaths(LocalPathsOfUrls(event->mimeData()->urls()));
}

void MainWindow::SyncConvertControls() {
    convertToolButton_->setEnabled(listAllowsConvertTool_ && !RunInProgress());
    convertButton_->setEnabled(listAllowsConvertButton_ && !RunInProgress());
}

void MainWindow::onConvertClicked() {
    // The shortcut or a late click can still arrive while the earlier run's jobs work.
    if (RunInProgress()) return;
    ConversionOptions options = optionPages_->Options();
    const PrepareResult prepared = PrepareRunOptions(options, static_cast<std::size_t>(fileList_->RowCount()));
    // The thread count and the completed mask show in their controls even when no run starts.
    optionPages_->SetThreads(options.threads);
    optionPages_->SetRenameMaskText(options.renameMask);
    if (prepared == PrepareResult::NoFiles) {
        ShowMessage(QMessageBox::Critical, Tr(language_, "Error"), Tr(language_, "NoFiles"));
        return;
    }
    if (!options.outputFolder.empty()) optionPages_->SetOutputPathText(options.outputFolder);
    if (prepared == PrepareResult::DirectoryCreateError || prepared == PrepareResult::FolderHasTokens) {
        const char* key = prepared == PrepareResult::FolderHasTokens ? "FolderHasTokens" : "DirectoryCreateError";
        ShowMessage(QMessageBox::Critical, Tr(language_, "Error"), Tr(language_, key));
        return;
    }
    std::vector<std::string> paths = fileList_->FullPaths();
    // A recipe chosen on the output page: each file makes every one of its outputs.
    try {
        const auto outputs = optionPages_->Recipes()->OutputsFor(options, paths);
        scheduler_->SetRecipeOutputs(outputs);
        progressWindow_->SetOutputsPerFile(outputs ? static_cast<int>(outputs->size()) : 1);
    } catch (const Error& e) {
        ShowMessage(QMessageBox::Critical, Tr(language_, "Error"), QString::fromStdString(e.what()));
        return;
    }
    runFileCount_ = static_cast<int>(paths.size());
    statusBar()->clearMessage();
    progressWindow_->PrepareForRun(static_cast<int>(paths.size()), options.outputFolder);
    if (!scheduler_->BeginRun(options, std::move(paths), language_.LookupText("AllProcessed"))) {
        // Not one worker could be made: the run has ended as a cancelled one.
        SyncConvertControls();
        ShowMessage(QMessageBox::Critical, QStringLiteral("Error"), QStringLiteral("Error creating thread!"));
        return;
    }
    SyncConvertControls();
    progressWindow_->ShowForRun();
}

void MainWindow::onRunFinished() {
    SyncConvertControls();
    // A word that arrives after the next run has begun belongs to the run before it.
    if (!scheduler_->Finished()) return;
    // A cancelled run's window closes: the status bar keeps what became of the files.
    if (scheduler_->CloseWhenDone()) statusBar()->showMessage(CancelledRunSummary());
    progressWindow_->CompleteRun();
}

QString MainWindow::CancelledRunSummary() const {
    const RunCounters& counters = scheduler_->State().counters;
    const int processed = counters.processed.load();
    const int failed = counters.failed.load();
    return Tr(language_, "CancelledRunSummary")
        .arg(processed - failed)
        .arg(failed)
        .arg(std::max(0, runFileCount_ - processed));
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        const QKeySequence pressed(static_cast<QKeyEvent*>(event)->keyCombination());
        for (const QKeySequence& key : convertShortcut_->shortcuts()) {
            if (key == pressed) {
                // Not claimed: the key goes on to the shortcut.
                event->ignore();
                return true;
            }
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

void MainWindow::ShowHelp() {
    const std::string& language = language_.CurrentLanguage();
    std::string name;
    if (language == "Russian") name = "help_ru.html";
    else if (language == "English") name = "help_en.html";
    else return;
    for (const std::string& folder : {paths_.programFolder, paths_.dataFolder + "/"}) {
        if (FileExists(folder + name)) {
            OpenExternally(QUrl::fromLocalFile(QString::fromStdString(folder + name)), this);
            return;
        }
    }
}

void MainWindow::OpenExternally(const QUrl& url, QWidget* owner) {
    OpenOrShowWhere(owner, url, urlOpener_, messageBox_, Tr(language_, "Information"), Tr(language_, "OpenByHand"));
}

void MainWindow::LoadSettings() {
    try {
        settingsIni_ = LoadSettingsFile(paths_.settingsFile);
    } catch (const Error&) {
        settingsIni_ = IniFile();
    }
    const AppSettings settings =
        ReadSettings(settingsIni_, screen_, ShortDateFormat::System(), QDateTime::currentDateTime());
    optionPages_->ApplyOptions(settings.options);

    const WindowPlacement placement = PlaceOnScreen(settings.placement, screen_);
    move(placement.x, placement.y);
    resize(placement.width, placement.height);
    if (placement.maximized) setWindowState(windowState() | Qt::WindowMaximized);

    fileList_->SetLastFolders(settings.lastAddFilesFolder, settings.lastAddFolderFolder);
    lastUpdateDate_ = settings.lastUpdateDate;
    lifetime_.processedKiB.store(settings.allProcessedBytes);
    lifetime_.processedFiles.store(settings.allProcessedFiles);
    language_.SetCurrentLanguage(settings.language);
}

bool MainWindow::SaveSettings() {
    AppSettings settings;
    settings.options = optionPages_->Options();
    settings.language = language_.CurrentLanguage();
    settings.lastUpdateDate = lastUpdateDate_;
    settings.allProcessedFiles = lifetime_.processedFiles.load();
    settings.allProcessedBytes = lifetime_.processedKiB.load();
    settings.placement.maximized = isMaximized();
    const QRect normal = isMaximized() ? normalGeometry() : geometry();
    const QPoint topLeft = isMaximized() ? normal.topLeft() : pos();
    settings.placement.x = topLeft.x();
    settings.placement.y = topLeft.y();
    settings.placement.width = normal.width();
    settings.placement.height = normal.height();
    settings.windowHeight = height();
    // A folder whose name holds a line break cannot be kept in the file: it is forgotten.
    auto keepable = [](const std::string& folder) {
        return folder.find_first_of("\r\n") == std::string::npos ? folder : std::string();
    };
    settings.lastAddFilesFolder = keepable(fileList_->LastFilesFolder());
    settings.lastAddFolderFolder = keepable(fileList_->LastAddedFolder());
    try {
        EnsureFolderExists(ExtractFilePath(paths_.settingsFile));
        WriteSettings(settingsIni_, settings, screen_, ShortDateFormat::System());
        settingsIni_.Save(paths_.settingsFile);
        return true;
    } catch (const Error&) {
        if (const auto message = SaveFailureMessage(language_.CurrentLanguage())) {
            ShowMessage(QMessageBox::Warning, QString::fromStdString(message->caption),
                        QString::fromStdString(message->text));
        }
        return false;
    }
}

bool MainWindow::ConfirmClose() {
    if (fileList_->RowCount() == 0) return true;
    return ShowMessage(QMessageBox::Warning, Tr(language_, "Confirmation"), Tr(language_, "ExitConfirmation"),
                       QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void MainWindow::PrepareToClose() {
    fileList_->CancelScan();
    preview_->WaitForLoad();
    SaveSettings();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    if (!ConfirmClose()) {
        event->ignore();
        return;
    }
    closing_ = true;
    PrepareToClose();
    event->accept();
}

}  // namespace zelvan
