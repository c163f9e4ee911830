#include "ui/statistics_window.h"

#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "base/error.h"
#include "jobs/size_text.h"
#include "ui/message_box.h"
#include "ui/window_texts.h"

namespace zelvan {

namespace {

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, const QString& hint,
                  Qt::Alignment alignment = Qt::AlignLeft | Qt::AlignVCenter) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setToolTip(hint);
    label->setAlignment(alignment);
    return label;
}

}  // namespace

StatisticsWindow::StatisticsWindow(LifetimeCounters& counters, QWidget* parent) : QDialog(parent), counters_(counters) {
    setObjectName(QStringLiteral("Statisticsform"));
    setWindowTitle(QStringLiteral("Статистика"));
    setWindowFlags(kDialogFrame);

    const QString dataHint = QStringLiteral("Количество обработанных данных за все время использования программы");
    const QString filesHint = QStringLiteral("Количество обработанных файлов за все время использования программы");
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;

    // A title over the window's width (a label, whatever its name says).
    title_ = MakeLabel(this, "GroupBox1", QStringLiteral("Статистика по обработанным файлам"), QString(),
                          Qt::AlignHCenter | Qt::AlignVCenter);
    QFont titleFont = title_->font();
    titleFont.setBold(true);
    titleFont.setUnderline(true);
    title_->setFont(titleFont);
    processedDataCaption_ = MakeLabel(this, "Label1", QStringLiteral("Обработано:"), dataHint);
    processedData_ = MakeLabel(this, "Label2", QStringLiteral("0 КиБ"), dataHint, right);
    processedFilesCaption_ = MakeLabel(this, "Label3", QStringLiteral("Файлов:"), filesHint);
    processedFiles_ = MakeLabel(this, "Label4", QStringLiteral("0"), filesHint, right);
    closeButton_ = new QPushButton(QStringLiteral("Закрыть"), this);
    closeButton_->setObjectName(QStringLiteral("PngBitBtn1"));
    closeButton_->setDefault(true);

    auto* figures = new QGridLayout;
    figures->setHorizontalSpacing(24);
    figures->addWidget(processedDataCaption_, 0, 0);
    figures->addWidget(processedData_, 0, 1);
    figures->addWidget(processedFilesCaption_, 1, 0);
    figures->addWidget(processedFiles_, 1, 1);
    figures->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(closeButton_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title_);
    layout->addSpacing(6);
    layout->addLayout(figures);
    layout->addSpacing(10);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // Room for the title in either language, so the window keeps its width.
    title_->setMinimumWidth(280);

    connect(closeButton_, &QPushButton::clicked, this, &QDialog::accept);
}

void StatisticsWindow::ApplyLanguage(const std::string& langIniPath, const std::string& language) {
    // The labels' hints too: lang.ini carries them, and the Russian design hints would otherwise
    // stay in every language.
    WindowTextRules rules = StatisticsWindowTextRules();
    rules.labelHints = true;
    LanguageFile file;
    try {
        file = LanguageFile::Load(langIniPath);
    } catch (const Error&) {
        return;
    }
    ApplyWindowTexts(*this, "Statisticsform", file, language, rules);
    units_.kib = file.WindowText(language, "KiB", units_.kib);
    units_.mib = file.WindowText(language, "MiB", units_.mib);
}

void StatisticsWindow::WriteFigures() {
    // The total's unit in the words of the window's language.
    std::string total = StatisticsSizeText(counters_.processedKiB.load());
    const SizeUnits fixed;
    if (total.ends_with(" " + fixed.kib)) total.replace(total.size() - fixed.kib.size(), fixed.kib.size(), units_.kib);
    else if (total.ends_with(" " + fixed.mib)) total.replace(total.size() - fixed.mib.size(), fixed.mib.size(), units_.mib);
    processedData_->setText(QString::fromStdString(total));
    processedFiles_->setText(QString::number(counters_.processedFiles.load()));
}

void StatisticsWindow::ShowStatistics(const std::string& langIniPath, const std::string& currentLanguage) {
    ApplyLanguage(langIniPath, "English");
    ApplyLanguage(langIniPath, currentLanguage);
    WriteFigures();
    exec();
}

}  // namespace zelvan
