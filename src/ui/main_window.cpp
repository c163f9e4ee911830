#include "ui/main_form.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QHBoxLayout>
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
#include "ui/about_form.h"
#include "ui/file_list.h"
#include "ui/message_box.h"
#include "ui/option_pages.h"
#include "ui/preview.h"
#include "ui/progress_form.h"
#include "ui/single_instance.h"
#include "ui/statistics_form.h"
#include "ui/update_ui.h"
#include "ui/window_texts.h"
#include "jobs/version_info.h"

namespace zelvan {

namespace {

constexpr const char* kComponentName = "ZelvanMainform";
// The product's display name, kept reversed as the about window keeps its title.
constexpr const char* kDisplayNameReversed = "nalveZ";

QString Reversed(const QString& text) {
    QString out(text);
    std::reverse(out.begin(), out.end());
    return out;
}

// The language menu's pictures, 16 by 10.
QIcon RussianFlag() {
    QPixmap pixmap(16, 10);
    QPainter painter(&pixmap);
    painter.fillRect(0, 0, 16, 4, Qt::white);
    painter.fillRect(0, 3, 16, 4, QColor(0, 57, 166));
    painter.fillRect(0, 7, 16, 3, QColor(213, 43, 30));
    return QIcon(pixmap);
}

QIcon BritishFlag() {
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
    return QIcon(pixmap);
}

ScreenSize PrimaryScreenSize() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) return {};
    return {screen->size().width(), screen->size().height()};
}

}  // namespace

MainFormPaths DefaultMainFormPaths() {
    MainFormPaths paths;
    paths.programFolder = ProgramFolder();
    paths.dataFolder = DataFolder(ZELVAN_DATA_DIR);
    paths.settingsFile = SettingsFilePath();
    return paths;
}

TZelvanMainform::TZelvanMainform(MainFormPaths paths, QWidget* parent)
    : QMainWindow(parent), paths_(std::move(paths)) {
    setObjectName(kComponentName);
    setMinimumSize(kMainWindowMinWidth, kMainWindowMinHeight);
    screen_ = PrimaryScreenSize();

    scheduler_ = std::make_unique<Scheduler>(lifetime_, errors_, paths_.programFolder + "rawdll.so");

    BuildMenus();
    BuildToolBar();
    BuildLayout();

    Timer1.setInterval(1);
    Timer2.setInterval(1);
    Timer3.setInterval(250);
    connect(&Timer1, &QTimer::timeout, this, &TZelvanMainform::Timer1Timer);
    connect(&Timer2, &QTimer::timeout, this, &TZelvanMainform::Timer2Timer);
    connect(&Timer3, &QTimer::timeout, this, &TZelvanMainform::Timer3Timer);

    versionText_ = QString::fromStdString(VersionString());
    buildDateText_ = zelvan::BuildDateText(BuildDate(), QLocale::system());
    setWindowTitle(Reversed(kDisplayNameReversed) + " v" + versionText_);

    // Settings into the controls, then the language over them.
    LoadSettings();
    updateCheck_ = new UpdateCheck(this, language_, lastUpdateDate_);
    N126->setVisible(true);

    // Without its texts the program cannot show itself: it says so in both languages and ends.
    languagePath_ = FindLanguageFile(paths_.programFolder, paths_.dataFolder);
    try {
        if (languagePath_.empty()) throw Error("lang.ini not found");
        const std::string current = language_.CurrentLanguage();
        language_ = LanguageFile::Load(languagePath_);
        language_.SetCurrentLanguage(current);
    } catch (const Error&) {
        ShowMessage(nullptr, QMessageBox::Critical, QString::fromUtf8("Error/Ошибка"),
                    QString::fromUtf8("Не найден языковой файл!/Language file not found!"));
        return;
    }
    ApplyLanguage(language_.CurrentLanguage());
    BuildLanguageMenu();

    // The option pages get the width their seven tabs need in this language; the list the rest.
    const int pagesWidth = PageControl1->sizeHint().width() + 16;
    splitter_->setSizes({std::max(260, width() - pagesWidth), pagesWidth});

    setAcceptDrops(true);
    FileListView_->UpdateControlStates();
    updateCheck_->StartReminderIfDue();
    created_ = true;
}

TZelvanMainform::~TZelvanMainform() {
    // The other windows and the widgets hold references into the run state, the error list and
    // the language file, which are members: they go first.
    Timer1.stop();
    Timer2.stop();
    Timer3.stop();
    delete progressform_;
    delete statisticsform_;
    delete aboutform_;
    delete updateCheck_;
    delete takeCentralWidget();
}

void TZelvanMainform::BuildMenus() {
    N1 = menuBar()->addMenu(QString::fromUtf8("Файл"));
    N1->setObjectName("N1");
    N17 = N1->addAction(QString::fromUtf8("Добавить файлы..."));
    N17->setObjectName("N17");
    N17->setShortcut(QKeySequence("Ctrl+A"));
    N18 = N1->addAction(QString::fromUtf8("Добавить папку..."));
    N18->setObjectName("N18");
    N18->setShortcut(QKeySequence("Ctrl+D"));
    N1->addSeparator()->setObjectName("N16");
    N10 = N1->addAction(QString::fromUtf8("Статистика"));
    N10->setObjectName("N10");
    N1->addSeparator()->setObjectName("N9");
    N2 = N1->addAction(QString::fromUtf8("Выход"));
    N2->setObjectName("N2");
    N2->setShortcut(QKeySequence("Alt+F4"));

    N3 = menuBar()->addMenu(QString::fromUtf8("Помощь"));
    N3->setObjectName("N3");
    N15 = N3->addAction(QString::fromUtf8("Справка"));
    N15->setObjectName("N15");
    N15->setShortcut(QKeySequence(Qt::Key_F1));
    N4 = N3->addAction(QString::fromUtf8("О программе"));
    N4->setObjectName("N4");
    N3->addSeparator()->setObjectName("N20");
    Language1 = N3->addMenu(QString::fromUtf8("Язык"));
    Language1->setObjectName("Language1");
    N126 = N3->addAction(QString::fromUtf8("Проверить обновления..."));
    N126->setObjectName("N126");
    N126->setVisible(false);

    connect(N2, &QAction::triggered, this, &QWidget::close);
    connect(N10, &QAction::triggered, this, [this] {
        statisticsform_->ShowStatistics(languagePath_, language_.CurrentLanguage());
    });
    connect(N15, &QAction::triggered, this, &TZelvanMainform::ShowHelp);
    connect(N4, &QAction::triggered, this, [this] { aboutform_->ShowAbout(versionText_, buildDateText_); });
    connect(N126, &QAction::triggered, this, [this] { updateCheck_->N126Click(); });
}

void TZelvanMainform::BuildToolBar() {
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
    ToolButton2 = makeButton("ToolButton2", QStyle::SP_DirOpenIcon, "folder-open",
                             QString::fromUtf8("Добавить папку..."));
    bar->addSeparator();
    ToolButton1 = makeButton("ToolButton1", QStyle::SP_FileIcon, "document-open",
                             QString::fromUtf8("Добавить файлы..."));
    ToolButton4 = makeButton("ToolButton4", QStyle::SP_TrashIcon, "list-remove",
                             QString::fromUtf8("Удалить выбранное"));
    bar->addSeparator();
    ToolButton5 = makeButton("ToolButton5", QStyle::SP_MediaPlay, "system-run",
                             QString::fromUtf8("Преобразовать"));
}

void TZelvanMainform::BuildLayout() {
    auto* central = new QWidget(this);
    auto* outer = new QVBoxLayout(central);
    outer->setContentsMargins(6, 4, 6, 6);

    splitter_ = new QSplitter(Qt::Horizontal, central);
    FileListView_ = new FileListView(splitter_);
    auto* right = new QWidget(splitter_);
    auto* rightLayout = new QVBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    preview_ = new PreviewPane(scheduler_->previewIdle, right);
    PageControl1 = new OptionPages(right);
    rightLayout->addWidget(preview_, 1);
    rightLayout->addWidget(PageControl1, 0);
    splitter_->addWidget(FileListView_);
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
    PngBitBtn2 = new QPushButton(QString::fromUtf8("Преобразовать"), central);
    PngBitBtn2->setObjectName("PngBitBtn2");
    PngBitBtn2->setIcon(QIcon::fromTheme("system-run", style()->standardIcon(QStyle::SP_MediaPlay)));
    PngBitBtn2->setDefault(true);
    CloseButton = new QPushButton(QString::fromUtf8("Выход"), central);
    CloseButton->setObjectName("CloseButton");
    CloseButton->setIcon(QIcon::fromTheme("application-exit", style()->standardIcon(QStyle::SP_DialogCloseButton)));
    bottom->addWidget(PngBitBtn2);
    bottom->addWidget(CloseButton);
    outer->addLayout(bottom);
    setCentralWidget(central);

    connect(PngBitBtn2, &QPushButton::clicked, this, &TZelvanMainform::PngBitBtn2Click);
    connect(CloseButton, &QPushButton::clicked, this, &QWidget::close);
    connect(ToolButton5, &QToolButton::clicked, this, [this] {
        if (ToolButton5->isEnabled()) PngBitBtn2Click();
    });
    connect(N17, &QAction::triggered, FileListView_, &FileListView::AddFilesDialog);
    connect(N18, &QAction::triggered, FileListView_, &FileListView::AddFolderDialog);
    connect(ToolButton1, &QToolButton::clicked, N17, &QAction::trigger);
    connect(ToolButton2, &QToolButton::clicked, N18, &QAction::trigger);
    connect(ToolButton4, &QToolButton::clicked, FileListView_, &FileListView::DeleteSelected);
    connect(FileListView_, &FileListView::ControlStatesChanged, this, &TZelvanMainform::UpdateControlStates);
    connect(FileListView_, &FileListView::AddingChanged, busy, &QWidget::setVisible);
    connect(FileListView_, &FileListView::CurrentPathChanged, preview_,
            [this](const std::string& path) { preview_->ShowPreview(path); });
    preview_->SetListHasRows([this] { return FileListView_->RowCount() > 0; });
}

void TZelvanMainform::CreateSecondaryWindows() {
    progressform_ = new TProgressform(*scheduler_, errors_, language_, this);
    statisticsform_ = new TStatisticsform(lifetime_, this);
    aboutform_ = new TAboutForm(this);
    connect(progressform_, &TProgressform::RunCancelled, this, &TZelvanMainform::SyncTimers);
    connect(progressform_, &TProgressform::TerminateRequested, this, [this] {
        terminateRequested_ = true;
        QCoreApplication::exit(0);
    });
    ApplyLanguageEverywhere(language_.CurrentLanguage());
}

void TZelvanMainform::ApplyLanguage(const std::string& language) {
    language_.SetCurrentLanguage(language);
    ApplyWindowTexts(*this, kComponentName, language_, language, MainWindowTextRules());
    FileListView_->SetOpenDialogTitle(WindowTextOf(language_, language, std::string(kComponentName) + "OpenDialog",
                                                   FileListView_->OpenDialogTitle()));
    FileListView_->ApplyLanguage(language_);
    PageControl1->ApplyLanguageLists(language_);
}

void TZelvanMainform::ApplyLanguageEverywhere(const std::string& language) {
    ApplyLanguage(language);
    if (progressform_) progressform_->ApplyLanguage(languagePath_, language);
    if (aboutform_) aboutform_->ApplyLanguage(languagePath_, language);
    if (statisticsform_) statisticsform_->ApplyLanguage(languagePath_, language);
}

void TZelvanMainform::BuildLanguageMenu() {
    const std::vector<std::string> languages = language_.Languages();
    for (std::size_t i = 0; i < languages.size(); ++i) {
        const QString name = QString::fromStdString(languages[i]);
        QAction* entry = Language1->addAction(name);
        // The flag goes by the section's name, so that the file's order of sections never
        // puts one language's flag beside another.
        if (languages[i] == "Russian") entry->setIcon(RussianFlag());
        if (languages[i] == "English") entry->setIcon(BritishFlag());
        const std::string language = languages[i];
        connect(entry, &QAction::triggered, this, [this, language] { ApplyLanguageEverywhere(language); });
    }
}

void TZelvanMainform::UpdateControlStates(const FileListControlStates& states) {
    ToolButton5->setEnabled(states.convertTool);
    PngBitBtn2->setEnabled(states.convertButton);
    ToolButton4->setEnabled(states.deleteSelected);
    N18->setEnabled(states.addFolder);
    ToolButton2->setEnabled(states.addFolder);
}

void TZelvanMainform::AddCommandLine(const QStringList& arguments) {
    std::vector<std::string> paths;
    for (const QString& argument : arguments) paths.push_back(argument.toStdString());
    FileListView_->AddCommandLinePaths(paths);
    preview_->RememberBoxSize();
}

void TZelvanMainform::ReceiveHandOver(const QString& text) {
    if (text == QLatin1String(kShowWindowRequest)) {
        if (isMinimized()) showNormal();
        show();
        raise();
        activateWindow();
        return;
    }
    const std::string path = text.toStdString();
    if (FileExists(path) && IsAcceptedExtension(ExtractFileExt(path))) FileListView_->AddFileToList(path);
}

void TZelvanMainform::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls() && !FileListView_->FolderScanActive()) event->acceptProposedAction();
}

void TZelvanMainform::dropEvent(QDropEvent* event) {
    event->acceptProposedAction();
    FileListView_->AddPaths(LocalPathsOfUrls(event->mimeData()->urls()));
}

void TZelvanMainform::SyncTimers() {
    auto follow = [](QTimer& timer, bool on) {
        if (on && !timer.isActive()) timer.start();
        if (!on && timer.isActive()) timer.stop();
    };
    follow(Timer1, scheduler_->StartTimerOn());
    follow(Timer2, scheduler_->ReapTimerOn());
    follow(Timer3, scheduler_->CompletionTimerOn());
}

void TZelvanMainform::PngBitBtn2Click() {
    ConversionOptions options = PageControl1->Options();
    const PrepareResult prepared = PrepareRunOptions(options, static_cast<std::size_t>(FileListView_->RowCount()));
    // The thread count and the completed mask show in their controls even when no run starts.
    PageControl1->SetThreads(options.threads);
    PageControl1->SetRenameMaskText(options.renameMask);
    if (prepared == PrepareResult::NoFiles) {
        ShowMessage(this, QMessageBox::Critical, Tr(language_, "Error"), Tr(language_, "NoFiles"));
        return;
    }
    if (!options.outputFolder.empty()) PageControl1->SetOutputPathText(options.outputFolder);
    if (prepared == PrepareResult::DirectoryCreateError) {
        ShowMessage(this, QMessageBox::Critical, Tr(language_, "Error"), Tr(language_, "DirectoryCreateError"));
        return;
    }
    std::vector<std::string> paths = FileListView_->FullPaths();
    progressform_->PrepareForRun(static_cast<int>(paths.size()));
    scheduler_->BeginRun(options, std::move(paths), language_.LookupText("AllProcessed"));
    SyncTimers();
    progressform_->ShowForRun();
}

void TZelvanMainform::Timer1Timer() {
    const Scheduler::StartResult result = scheduler_->StartTick();
    // The timers follow the scheduler before any message box runs its own event loop.
    SyncTimers();
    if (result == Scheduler::StartResult::StartFailed) {
        progressform_->CloseByProgram();
        ShowMessage(this, QMessageBox::Critical, QStringLiteral("Error"), QStringLiteral("Error creating thread!"));
    }
}

void TZelvanMainform::Timer2Timer() {
    scheduler_->ReapTick();
    SyncTimers();
}

void TZelvanMainform::Timer3Timer() {
    if (!scheduler_->CompletionTick()) return;
    SyncTimers();
    progressform_->CompleteRun();
}

void TZelvanMainform::ShowHelp() {
    const std::string& language = language_.CurrentLanguage();
    std::string name;
    if (language == "Russian") name = "help_ru.html";
    else if (language == "English") name = "help_en.html";
    else return;
    for (const std::string& folder : {paths_.programFolder, paths_.dataFolder + "/"}) {
        if (FileExists(folder + name)) {
            QDesktopServices::openUrl(QUrl::fromLocalFile(QString::fromStdString(folder + name)));
            return;
        }
    }
}

void TZelvanMainform::LoadSettings() {
    try {
        settingsIni_ = LoadSettingsFile(paths_.settingsFile);
    } catch (const Error&) {
        settingsIni_ = IniFile();
    }
    const AppSettings settings =
        ReadSettings(settingsIni_, screen_, ShortDateFormat::System(), QDateTime::currentDateTime());
    PageControl1->ApplyOptions(settings.options);

    const WindowPlacement placement = PlaceOnScreen(settings.placement, screen_);
    move(placement.x, placement.y);
    resize(placement.width, placement.height);
    if (placement.maximized) setWindowState(windowState() | Qt::WindowMaximized);

    lastUpdateDate_ = settings.lastUpdateDate;
    lifetime_.processedKiB.store(settings.allProcessedBytes);
    lifetime_.processedFiles.store(settings.allProcessedFiles);
    language_.SetCurrentLanguage(settings.language);
}

bool TZelvanMainform::SaveSettings() {
    AppSettings settings;
    settings.options = PageControl1->Options();
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
    settings.mainformHeight = height();
    try {
        EnsureFolderExists(ExtractFilePath(paths_.settingsFile));
        WriteSettings(settingsIni_, settings, screen_, ShortDateFormat::System());
        settingsIni_.Save(paths_.settingsFile);
        return true;
    } catch (const Error&) {
        if (const auto message = SaveFailureMessage(language_.CurrentLanguage())) {
            ShowMessage(this, QMessageBox::Warning, QString::fromStdString(message->caption),
                        QString::fromStdString(message->text));
        }
        return false;
    }
}

bool TZelvanMainform::FormCloseQuery() {
    if (FileListView_->RowCount() == 0) return true;
    return ShowMessage(this, QMessageBox::Warning, Tr(language_, "Confirmation"), Tr(language_, "ExitConfirmation"),
                       QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TZelvanMainform::FormClose() {
    FileListView_->CancelScan();
    preview_->WaitForLoad();
    SaveSettings();
}

void TZelvanMainform::closeEvent(QCloseEvent* event) {
    if (closing_) {
        event->accept();
        return;
    }
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    closing_ = true;
    FormClose();
    event->accept();
}

}  // namespace zelvan
