#include "ui/statistics_form.h"

#include <QFont>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "base/error.h"
#include "jobs/size_text.h"
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

TStatisticsform::TStatisticsform(LifetimeCounters& counters, QWidget* parent) : QDialog(parent), counters_(counters) {
    setObjectName(QStringLiteral("Statisticsform"));
    setWindowTitle(QStringLiteral("Статистика"));
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);

    const QString dataHint = QStringLiteral("Количество обработанных данных за все время использования программы");
    const QString filesHint = QStringLiteral("Количество обработанных файлов за все время использования программы");
    const Qt::Alignment right = Qt::AlignRight | Qt::AlignVCenter;

    // A title over the window's width (a label, whatever its name says).
    GroupBox1 = MakeLabel(this, "GroupBox1", QStringLiteral("Статистика по обработанным файлам"), QString(),
                          Qt::AlignHCenter | Qt::AlignVCenter);
    QFont titleFont = GroupBox1->font();
    titleFont.setBold(true);
    titleFont.setUnderline(true);
    GroupBox1->setFont(titleFont);
    Label1 = MakeLabel(this, "Label1", QStringLiteral("Обработано:"), dataHint);
    Label2 = MakeLabel(this, "Label2", QStringLiteral("0 КиБ"), dataHint, right);
    Label3 = MakeLabel(this, "Label3", QStringLiteral("Файлов:"), filesHint);
    Label4 = MakeLabel(this, "Label4", QStringLiteral("0"), filesHint, right);
    PngBitBtn1 = new QPushButton(QStringLiteral("Закрыть"), this);
    PngBitBtn1->setObjectName(QStringLiteral("PngBitBtn1"));
    PngBitBtn1->setDefault(true);

    auto* figures = new QGridLayout;
    figures->setHorizontalSpacing(24);
    figures->addWidget(Label1, 0, 0);
    figures->addWidget(Label2, 0, 1);
    figures->addWidget(Label3, 1, 0);
    figures->addWidget(Label4, 1, 1);
    figures->setColumnStretch(1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(PngBitBtn1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(GroupBox1);
    layout->addSpacing(6);
    layout->addLayout(figures);
    layout->addSpacing(10);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    // Room for the title in either language, so the window keeps its width.
    GroupBox1->setMinimumWidth(280);

    connect(PngBitBtn1, &QPushButton::clicked, this, &QDialog::accept);
}

void TStatisticsform::ApplyLanguage(const std::string& langIniPath, const std::string& language) {
    // The labels' hints too: lang.ini carries them, and the Russian design hints would otherwise
    // stay in every language.
    WindowTextRules rules = StatisticsWindowTextRules();
    rules.labelHints = true;
    ApplyWindowTextsFromFile(*this, "Statisticsform", langIniPath, language, rules);
}

void TStatisticsform::WriteFigures() {
    Label2->setText(QString::fromStdString(StatisticsSizeText(counters_.processedKiB.load())));
    Label4->setText(QString::number(counters_.processedFiles.load()));
}

void TStatisticsform::ShowStatistics(const std::string& langIniPath, const std::string& currentLanguage) {
    ApplyLanguage(langIniPath, "English");
    ApplyLanguage(langIniPath, currentLanguage);
    WriteFigures();
    exec();
}

}  // namespace zelvan
