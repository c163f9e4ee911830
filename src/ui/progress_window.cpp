#include "ui/progress_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include "base/error.h"
#include "base/line_escape.h"
#include "ui/message_box.h"
#include "ui/window_texts.h"

namespace zelvan {

namespace {

constexpr int kRefreshIntervalMs = 100;
// The client area at design; the window never gets smaller.
constexpr int kClientWidth = 333;
constexpr int kClientHeight = 255;

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, Qt::Alignment alignment = {}) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    if (alignment) label->setAlignment(alignment);
    return label;
}

// A key that must not close the finished window: the repeats of a key held since Convert
// (Ctrl+Return starts a run; a short run ends while the keys are still down and the Close
// button has just become the default, which QPushButton clicks on Return whatever the
// modifiers), and Return or Enter with a modifier.
bool IsStrayCloseKey(const QKeyEvent& key) {
    const int code = key.key();
    if (code != Qt::Key_Return && code != Qt::Key_Enter && code != Qt::Key_Space) return false;
    return key.isAutoRepeat() || (key.modifiers() & ~Qt::KeypadModifier) != Qt::NoModifier;
}

// The messages the jobs write themselves, in the words they write them, and their keys. A
// message with a separator is followed by a detail of its own (a path, the system's reason).
struct JobMessageText {
    std::string_view english;
    const char* key;
    std::string_view separator;  // empty: the message is the whole rest of the line
};
constexpr JobMessageText kJobMessages[] = {
    {"File already exists", "FileAlreadyExists", ""},
    {"not enough memory for the image", "NoMemoryForImage", ""},
    {"not enough memory to decode the file", "NoMemoryToDecode", ""},
    {"not enough memory to convert the colours", "NoMemoryForColours", ""},
    {"not enough memory to encode the image", "NoMemoryToEncode", ""},
    {"not a regular file", "NotARegularFile", ""},
    {"Same output as", "SameOutputAs", " "},
    {"Cannot open file", "CannotOpenFile", ": "},
    {"Cannot read file", "CannotReadFile", ": "},
    {"Cannot create file", "CannotCreateFile", ": "},
    {"Cannot write file", "CannotWriteFile", ": "},
};

bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Yes | QMessageBox::No, parent, kDialogFrame);
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

}  // namespace

std::string LocalisedErrorLine(const std::string& line, const LanguageFile& texts) {
    const std::string& language = texts.CurrentLanguage();
    for (const JobMessageText& message : kJobMessages) {
        // The message follows the path's ": "; a path may hold ": " itself, the message never.
        const std::string marked = ": " + std::string(message.english) + std::string(message.separator);
        const std::size_t at = !message.separator.empty() ? line.rfind(marked)
                                : line.ends_with(marked)  ? line.size() - marked.size()
                                                          : std::string::npos;
        if (at == std::string::npos) continue;
        const std::string translated = texts.WindowText(language, message.key, message.english);
        return line.substr(0, at + 2) + translated + std::string(message.separator) + line.substr(at + marked.size());
    }
    return line;
}

ProgressWindow::ProgressWindow(Scheduler& scheduler, ErrorList& errors, const LanguageFile& lookups, QWidget* parent)
    : QDialog(parent),
      scheduler_(scheduler),
      errors_(errors),
      lookups_(lookups),
      terminateQuestion_(AskYesNo),
      urlOpener_(OpenWithDesktop),
      messageBox_(ShowMessageBox),
      clock_([] { return std::chrono::steady_clock::now(); }),
      decimalSeparator_(DecimalSeparatorOf(QLocale())) {
    setObjectName(QStringLiteral("Progressform"));
    setWindowTitle(QStringLiteral("Процесс..."));
    // Only the close box in the title bar.
    setWindowFlags(kDialogFrame);
    setSizeGripEnabled(true);

    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    processedCaption_ = MakeLabel(this, "Label3", QStringLiteral("Обработано: "));
    processedCount_ = MakeLabel(this, "Label4", QStringLiteral("0/0"));
    progressBar_ = new QProgressBar(this);
    progressBar_->setObjectName(QStringLiteral("ProgressBar1"));
    progressBar_->setTextVisible(false);
    elapsedCaption_ = MakeLabel(this, "Label9", QStringLiteral("Время:"));
    elapsed_ = MakeLabel(this, "Label10", QStringLiteral("0"), right);
    inputSizeCaption_ = MakeLabel(this, "Label5", QStringLiteral("Обработано:"));
    inputSize_ = MakeLabel(this, "Label6", QStringLiteral("0"), right);
    outputSizeCaption_ = MakeLabel(this, "Label7", QStringLiteral("Результирующий размер: "));
    outputSize_ = MakeLabel(this, "Label8", QStringLiteral("0"), right);
    threadsCaption_ = MakeLabel(this, "Label1", QStringLiteral("Потоков: "));
    runningJobs_ = MakeLabel(this, "Label2", QStringLiteral("0"), right);
    errorLog_ = new QPlainTextEdit(this);
    errorLog_->setObjectName(QStringLiteral("errorlog"));
    errorLog_->setReadOnly(true);
    errorLog_->setLineWrapMode(QPlainTextEdit::NoWrap);
    errorLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    errorLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    cancelOrCloseButton_ = new QPushButton(QStringLiteral("Отмена"), this);
    cancelOrCloseButton_->setObjectName(QStringLiteral("PngBitBtn1"));
    cancelOrCloseButton_->setAutoDefault(false);
    openFolderButton_ = new QPushButton(QStringLiteral("Открыть папку вывода"), this);
    openFolderButton_->setObjectName(QStringLiteral("PngBitBtn2"));
    openFolderButton_->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    openFolderButton_->setAutoDefault(false);
    openFolderButton_->setEnabled(false);
    cancelOrCloseButton_->installEventFilter(this);
    openFolderButton_->installEventFilter(this);

    // The processed count follows its caption; the other values stand at the right edge.
    auto* processedRow = new QHBoxLayout;
    processedRow->addWidget(processedCaption_);
    processedRow->addWidget(processedCount_);
    processedRow->addStretch(1);

    auto* figures = new QGridLayout;
    figures->setHorizontalSpacing(12);
    figures->setVerticalSpacing(4);
    int row = 0;
    for (auto [caption, value] : {std::pair{elapsedCaption_, elapsed_}, std::pair{inputSizeCaption_, inputSize_}, std::pair{outputSizeCaption_, outputSize_},
                                  std::pair{threadsCaption_, runningJobs_}}) {
        figures->addWidget(caption, row, 0);
        figures->addWidget(value, row, 1);
        ++row;
    }
    figures->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(openFolderButton_);
    buttons->addStretch(1);
    buttons->addWidget(cancelOrCloseButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(processedRow);
    layout->addWidget(progressBar_);
    layout->addSpacing(4);
    layout->addLayout(figures);
    layout->addSpacing(4);
    layout->addWidget(errorLog_, 1);
    layout->addLayout(buttons);

    setMinimumSize(QSize(kClientWidth, kClientHeight).expandedTo(layout->minimumSize()));
    resize(QSize(kClientWidth + 67, kClientHeight + 65).expandedTo(minimumSize()));

    taskbar_ = new TaskbarProgress(this);
    taskbar_->SetBar(progressBar_);

    connect(cancelOrCloseButton_, &QPushButton::clicked, this, &ProgressWindow::onCancelOrCloseClicked);
    connect(openFolderButton_, &QPushButton::clicked, this, &ProgressWindow::OpenOutputFolder);

    // Jobs append from their own threads: each append wakes this window on its own thread,
    // where the new lines are fetched in order.
    QPointer<ProgressWindow> self(this);
    auto queued = syncQueued_;
    errors_.SetListener([self, queued](const std::string&) {
        if (queued->exchange(true)) return;
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, queued] {
                queued->store(false);
                if (self) self->SyncErrorLog();
            },
            Qt::QueuedConnection);
    });

    refreshTimer_ = new QTimer(this);
    refreshTimer_->setObjectName(QStringLiteral("Timer1"));
    refreshTimer_->setInterval(kRefreshIntervalMs);
    connect(refreshTimer_, &QTimer::timeout, this, &ProgressWindow::onRefreshTick);
    refreshTimer_->start();
}

ProgressWindow::~ProgressWindow() { errors_.SetListener(nullptr); }

void ProgressWindow::PrepareForRun(int fileCount, const std::string& outputFolder) {
    outputFolder_ = outputFolder;
    showsCompletedRun_ = false;
    openFolderButton_->setEnabled(false);
    cancelOrCloseButton_->setText(Tr(lookups_, "progressformPngBitBtn1CaptionCancel"));
    taskbar_->SetMaximum(fileCount);
    cancelOrCloseButton_->setEnabled(true);
    // Enter and Space must not cancel a run; the button becomes the default once it is Close.
    cancelOrCloseButton_->setDefault(false);
    // The figures start from this run's zeros: the refresh leaves the output size alone until a
    // job has written something, and the last run's figure must not stand beside this one's.
    const std::string zero = SizeText(0, decimalSeparator_, LookedUpUnits());
    processedCount_->setText(QStringLiteral("0/%1").arg(fileCount) + outputsNote_);
    inputSize_->setText(QString::fromStdString(zero));
    outputSize_->setText(QString::fromStdString(zero));
    elapsed_->setText(QStringLiteral("0"));
    errorLog_->clear();
    shownLines_ = 0;
    taskbar_->SetState(TaskbarProgress::State::Normal);
    taskbar_->SetMirroring(true);
}

int ProgressWindow::ShowForRun() {
    setWindowTitle(Tr(lookups_, "Progressform"));
    return exec();
}

std::int64_t ProgressWindow::ElapsedMs() const {
    const auto elapsed = clock_() - scheduler_.State().startedAt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

SizeUnits ProgressWindow::LookedUpUnits() const {
    return SizeUnits{lookups_.LookupText("KiB"), lookups_.LookupText("MiB")};
}

void ProgressWindow::onRefreshTick() {
    const RunCounters& counters = scheduler_.State().counters;
    const int processed = counters.processed.load();
    const std::int64_t input = counters.inputKiB.load();
    const std::int64_t output = counters.outputKiB.load();

    taskbar_->SetPosition(processed);
    processedCount_->setText(QStringLiteral("%1/%2").arg(processed).arg(taskbar_->Maximum()) + outputsNote_);
    runningJobs_->setText(QString::number(scheduler_.RunningJobs()));
    // The unit words of the current language from the first tick on, not only at the end.
    const SizeUnits units = LookedUpUnits();
    inputSize_->setText(QString::fromStdString(SizeText(input, decimalSeparator_, units)));
    if (output > 0 && input > 0)
        outputSize_->setText(QString::fromStdString(OutputSizeText(output, input, decimalSeparator_, units)));
    if (scheduler_.InProgress())
        elapsed_->setText(
            QString::fromStdString(ElapsedText(ElapsedMs(), decimalSeparator_, lookups_.LookupText("second"))));
    // Lines are normally shown as they come; this catches any wake-up still on its way.
    SyncErrorLog();
}

void ProgressWindow::WriteCompletionFigures() {
    taskbar_->SetMarquee(false);
    cancelOrCloseButton_->setText(Tr(lookups_, "progressformPngBitBtn1CaptionClose"));
    // The run is over: Enter or Space closes the window.
    cancelOrCloseButton_->setDefault(true);
    cancelOrCloseButton_->setFocus();
    openFolderButton_->setEnabled(!outputFolder_.empty());

    const RunCounters& counters = scheduler_.State().counters;
    const int processed = counters.processed.load();
    const std::int64_t input = counters.inputKiB.load();
    const std::int64_t output = counters.outputKiB.load();
    const SizeUnits units = LookedUpUnits();
    taskbar_->SetPosition(processed);
    processedCount_->setText(QStringLiteral("%1/%2").arg(processed).arg(taskbar_->Maximum()) + outputsNote_);
    runningJobs_->setText(QString::number(scheduler_.RunningJobs()));
    inputSize_->setText(QString::fromStdString(SizeText(input, decimalSeparator_, units)));
    if (output > 0 && input > 0)
        outputSize_->setText(QString::fromStdString(OutputSizeText(output, input, decimalSeparator_, units)));
    SyncErrorLog();
}

void ProgressWindow::WriteCompletionTime() {
    const std::string seconds = lookups_.LookupText("second");
    elapsed_->setText(QString::fromStdString(ElapsedText(ElapsedMs(), decimalSeparator_, seconds)));
}

void ProgressWindow::CompleteRun() {
    if (scheduler_.CloseWhenDone()) CloseByProgram();
    WriteCompletionFigures();
    WriteCompletionTime();
    showsCompletedRun_ = true;
}

void ProgressWindow::CloseByProgram() { close(); }

void ProgressWindow::OpenOutputFolder() {
    const QUrl folder = QUrl::fromLocalFile(QString::fromStdString(outputFolder_));
    OpenOrShowWhere(this, folder, urlOpener_, messageBox_, Tr(lookups_, "Information"), Tr(lookups_, "OpenByHand"));
}

void ProgressWindow::ApplyLanguage(const std::string& langIniPath, const std::string& language) {
    ApplyWindowTextsFromFile(*this, "Progressform", langIniPath, language, ProgressWindowTextRules());
}

void ProgressWindow::onCancelOrCloseClicked() {
    if (scheduler_.Finished()) {
        close();
        return;
    }
    Cancel();
}

void ProgressWindow::Cancel() {
    taskbar_->SetState(TaskbarProgress::State::Marquee);
    taskbar_->SetMarquee(true);
    setWindowTitle(Tr(lookups_, "Stopping..."));
    scheduler_.Cancel();
    cancelOrCloseButton_->setEnabled(false);
    emit RunCancelled();
}

void ProgressWindow::CloseAfterRun() {
    taskbar_->SetMarquee(false);
    taskbar_->SetMirroring(false);
}

void ProgressWindow::closeEvent(QCloseEvent* event) {
    if (cancelOrCloseButton_->isEnabled()) {
        // Closing during a run cancels it; after the run it is the Close button.
        if (scheduler_.Finished()) CloseAfterRun();
        else Cancel();
        event->accept();
        return;
    }
    if (scheduler_.RunningJobs() > 0) {
        // Cancel was pressed and jobs still run: closing now means leaving them behind.
        if (terminateQuestion_(this, QStringLiteral("Emergency shutdown"), QStringLiteral("Terminate program?"))) {
            event->accept();
            emit TerminateRequested();
        } else {
            event->ignore();
        }
        return;
    }
    event->accept();
}

void ProgressWindow::reject() { close(); }

void ProgressWindow::keyPressEvent(QKeyEvent* event) {
    if (IsStrayCloseKey(*event)) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool ProgressWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && IsStrayCloseKey(*static_cast<QKeyEvent*>(event))) return true;
    return QDialog::eventFilter(watched, event);
}

void ProgressWindow::SyncErrorLog() {
    // The list was cleared behind the display's back (Convert): start again from its top.
    if (errors_.Count() < shownLines_) {
        errorLog_->clear();
        shownLines_ = 0;
    }
    const std::vector<std::string> lines = errors_.LinesFrom(shownLines_);
    // A name's control characters are shown escaped, as on the command line: one line each.
    for (const std::string& line : lines)
        errorLog_->appendPlainText(QString::fromStdString(EscapeControlCharacters(LocalisedErrorLine(line, lookups_))));
    shownLines_ += lines.size();
}

}  // namespace zelvan
