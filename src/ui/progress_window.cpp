#include "ui/progress_form.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>

#include "base/error.h"
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

bool AskYesNo(QWidget* parent, const QString& caption, const QString& text) {
    return QMessageBox::critical(parent, caption, text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
}

}  // namespace

TProgressform::TProgressform(Scheduler& scheduler, ErrorList& errors, const LanguageFile& lookups, QWidget* parent)
    : QDialog(parent),
      scheduler_(scheduler),
      errors_(errors),
      lookups_(lookups),
      question_(AskYesNo),
      clock_([] { return std::chrono::steady_clock::now(); }),
      decimalSeparator_(DecimalSeparatorOf(QLocale())) {
    setObjectName(QStringLiteral("Progressform"));
    setWindowTitle(QStringLiteral("Процесс..."));
    // Only the close box in the title bar.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setSizeGripEnabled(true);

    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;
    Label3 = MakeLabel(this, "Label3", QStringLiteral("Обработано: "));
    Label4 = MakeLabel(this, "Label4", QStringLiteral("0/0"));
    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setTextVisible(false);
    Label9 = MakeLabel(this, "Label9", QStringLiteral("Время:"));
    Label10 = MakeLabel(this, "Label10", QStringLiteral("0"), right);
    Label5 = MakeLabel(this, "Label5", QStringLiteral("Обработано:"));
    Label6 = MakeLabel(this, "Label6", QStringLiteral("0"), right);
    Label7 = MakeLabel(this, "Label7", QStringLiteral("Результирующий размер: "));
    Label8 = MakeLabel(this, "Label8", QStringLiteral("0"), right);
    Label1 = MakeLabel(this, "Label1", QStringLiteral("Потоков: "));
    Label2 = MakeLabel(this, "Label2", QStringLiteral("0"), right);
    errorlog = new QPlainTextEdit(this);
    errorlog->setObjectName(QStringLiteral("errorlog"));
    errorlog->setReadOnly(true);
    errorlog->setLineWrapMode(QPlainTextEdit::NoWrap);
    errorlog->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    errorlog->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    PngBitBtn1 = new QPushButton(QStringLiteral("Отмена"), this);
    PngBitBtn1->setObjectName(QStringLiteral("PngBitBtn1"));
    PngBitBtn1->setAutoDefault(false);

    // The processed count follows its caption; the other values stand at the right edge.
    auto* processedRow = new QHBoxLayout;
    processedRow->addWidget(Label3);
    processedRow->addWidget(Label4);
    processedRow->addStretch(1);

    auto* figures = new QGridLayout;
    figures->setHorizontalSpacing(12);
    figures->setVerticalSpacing(4);
    int row = 0;
    for (auto [caption, value] : {std::pair{Label9, Label10}, std::pair{Label5, Label6}, std::pair{Label7, Label8},
                                  std::pair{Label1, Label2}}) {
        figures->addWidget(caption, row, 0);
        figures->addWidget(value, row, 1);
        ++row;
    }
    figures->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(PngBitBtn1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(processedRow);
    layout->addWidget(ProgressBar1);
    layout->addSpacing(4);
    layout->addLayout(figures);
    layout->addSpacing(4);
    layout->addWidget(errorlog, 1);
    layout->addLayout(buttons);

    setMinimumSize(QSize(kClientWidth, kClientHeight).expandedTo(layout->minimumSize()));
    resize(QSize(kClientWidth + 67, kClientHeight + 65).expandedTo(minimumSize()));

    taskbar_ = new TaskbarProgress(this);
    taskbar_->SetBar(ProgressBar1);

    connect(PngBitBtn1, &QPushButton::clicked, this, &TProgressform::PngBitBtn1Click);

    // Jobs append from their own threads: each append wakes this window on its own thread,
    // where the new lines are fetched in order.
    QPointer<TProgressform> self(this);
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

    Timer1 = new QTimer(this);
    Timer1->setObjectName(QStringLiteral("Timer1"));
    Timer1->setInterval(kRefreshIntervalMs);
    connect(Timer1, &QTimer::timeout, this, &TProgressform::Timer1Timer);
    Timer1->start();
}

TProgressform::~TProgressform() { errors_.SetListener(nullptr); }

void TProgressform::PrepareForRun(int fileCount) {
    PngBitBtn1->setText(Tr(lookups_, "progressformPngBitBtn1CaptionCancel"));
    taskbar_->SetMaximum(fileCount);
    PngBitBtn1->setEnabled(true);
    errorlog->clear();
    shownLines_ = 0;
    taskbar_->SetState(TaskbarProgress::State::Normal);
    taskbar_->SetMirroring(true);
}

int TProgressform::ShowForRun() {
    setWindowTitle(Tr(lookups_, "Progressform"));
    return exec();
}

std::int64_t TProgressform::ElapsedMs() const {
    const auto elapsed = clock_() - scheduler_.State().startedAt;
    return std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
}

SizeUnits TProgressform::LookedUpUnits() const {
    return SizeUnits{lookups_.LookupText("KiB"), lookups_.LookupText("MiB")};
}

void TProgressform::Timer1Timer() {
    const RunCounters& counters = scheduler_.State().counters;
    const int processed = counters.processed.load();
    const std::int64_t input = counters.inputKiB.load();
    const std::int64_t output = counters.outputKiB.load();

    taskbar_->SetPosition(processed);
    Label4->setText(QStringLiteral("%1/%2").arg(processed).arg(taskbar_->Maximum()));
    Label2->setText(QString::number(scheduler_.RunningJobs()));
    Label6->setText(QString::fromStdString(SizeText(input, decimalSeparator_)));
    if (output > 0 && input > 0)
        Label8->setText(QString::fromStdString(OutputSizeText(output, input, decimalSeparator_)));
    if (scheduler_.ReapTimerOn()) Label10->setText(QString::fromStdString(ElapsedText(ElapsedMs(), decimalSeparator_)));
    // Lines are normally shown as they come; this catches any wake-up still on its way.
    SyncErrorLog();
}

void TProgressform::WriteCompletionFigures() {
    taskbar_->SetMarquee(false);
    PngBitBtn1->setText(Tr(lookups_, "progressformPngBitBtn1CaptionClose"));

    const RunCounters& counters = scheduler_.State().counters;
    const int processed = counters.processed.load();
    const std::int64_t input = counters.inputKiB.load();
    const std::int64_t output = counters.outputKiB.load();
    const SizeUnits units = LookedUpUnits();
    taskbar_->SetPosition(processed);
    Label4->setText(QStringLiteral("%1/%2").arg(processed).arg(taskbar_->Maximum()));
    Label2->setText(QString::number(scheduler_.RunningJobs()));
    Label6->setText(QString::fromStdString(SizeText(input, decimalSeparator_, units)));
    if (output > 0 && input > 0)
        Label8->setText(QString::fromStdString(OutputSizeText(output, input, decimalSeparator_, units)));
    SyncErrorLog();
}

void TProgressform::WriteCompletionTime() {
    const std::string seconds = lookups_.LookupText("second");
    Label10->setText(QString::fromStdString(ElapsedText(ElapsedMs(), decimalSeparator_, seconds)));
}

void TProgressform::CompleteRun() {
    if (scheduler_.CloseWhenDone()) CloseByProgram();
    WriteCompletionFigures();
    WriteCompletionTime();
}

void TProgressform::CloseByProgram() { close(); }

void TProgressform::ApplyLanguage(const std::string& langIniPath, const std::string& language) {
    ApplyWindowTextsFromFile(*this, "Progressform", langIniPath, language, ProgressWindowTextRules());
}

void TProgressform::PngBitBtn1Click() {
    if (scheduler_.Finished()) {
        close();
        return;
    }
    Cancel();
}

void TProgressform::Cancel() {
    taskbar_->SetState(TaskbarProgress::State::Marquee);
    taskbar_->SetMarquee(true);
    setWindowTitle(Tr(lookups_, "Stopping..."));
    scheduler_.Cancel();
    PngBitBtn1->setEnabled(false);
    emit RunCancelled();
}

void TProgressform::CloseAfterRun() {
    taskbar_->SetMarquee(false);
    taskbar_->SetMirroring(false);
}

void TProgressform::closeEvent(QCloseEvent* event) {
    if (PngBitBtn1->isEnabled()) {
        // Closing during a run cancels it; after the run it is the Close button.
        if (scheduler_.Finished()) CloseAfterRun();
        else Cancel();
        event->accept();
        return;
    }
    if (scheduler_.RunningJobs() > 0) {
        // Cancel was pressed and jobs still run: closing now means leaving them behind.
        if (question_(this, QStringLiteral("Emergency shutdown"), QStringLiteral("Terminate program?"))) {
            event->accept();
            emit TerminateRequested();
        } else {
            event->ignore();
        }
        return;
    }
    event->accept();
}

void TProgressform::reject() { close(); }

void TProgressform::SyncErrorLog() {
    // The list was cleared behind the display's back (Convert): start again from its top.
    if (errors_.Count() < shownLines_) {
        errorlog->clear();
        shownLines_ = 0;
    }
    const std::vector<std::string> lines = errors_.LinesFrom(shownLines_);
    for (const std::string& line : lines) errorlog->appendPlainText(QString::fromStdString(line));
    shownLines_ += lines.size();
}

}  // namespace zelvan
