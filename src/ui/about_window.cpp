#include "ui/about_form.h"

#include <QDesktopServices>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <string_view>

#include "base/error.h"
#include "jobs/language.h"
#include "jobs/update_check.h"
#include "ui/window_texts.h"

// The icon's resource lives in this static library; naming it here keeps the linker from
// dropping it. Q_INIT_RESOURCE must be used outside any namespace.
static void InitIconResource() { Q_INIT_RESOURCE(zelvan); }

namespace zelvan {
namespace {

// The product name is kept back to front and turned round when the window is built.
constexpr std::string_view kReversedTitle = "navleZ";

// Reverses a text by characters (code points), so that letters outside the basic plane survive.
QString Reversed(const QString& text) {
    QList<uint> codePoints = text.toUcs4();
    std::reverse(codePoints.begin(), codePoints.end());
    return QString::fromUcs4(reinterpret_cast<const char32_t*>(codePoints.constData()), codePoints.size());
}

// The product picture. A widget of its own kind, so that the window texts never touch it.
class ProductPicture : public QWidget {
    Q_OBJECT
public:
    explicit ProductPicture(QWidget* parent) : QWidget(parent) { setFixedSize(48, 48); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        ZelvanIcon().paint(&painter, rect());
    }
};

void MakeLink(QLabel* label) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, QColor(0, 0, 128));  // navy
    label->setPalette(palette);
    QFont font = label->font();
    font.setUnderline(true);
    label->setFont(font);
    label->setCursor(Qt::PointingHandCursor);
}

}  // namespace

QIcon ZelvanIcon() {
    static const QIcon icon = [] {
        InitIconResource();
        QIcon i;
        for (int size : {16, 32, 48, 64, 128, 256})
            i.addFile(QStringLiteral(":/icons/zelvan-%1.png").arg(size), QSize(size, size));
        return i;
    }();
    return icon;
}

QUrl TAboutForm::SupportMailUrl() {
    return QUrl(QStringLiteral("mailto:") + QString::fromUtf8(kSupportMail.data(), kSupportMail.size()));
}

QUrl TAboutForm::WebSiteUrl() { return QUrl(ProductSiteUrl() + QLatin1Char('/')); }

TAboutForm::TAboutForm(QWidget* parent)
    : QDialog(parent), openUrl_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("О программе"));
    // A fixed border with only the close box.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    setFixedSize(278, 199);

    auto* image = new ProductPicture(this);
    image->setObjectName(QStringLiteral("Image1"));

    auto label = [this](const char* name, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QLatin1String(name));
        return l;
    };
    Label1 = label("Label1", Reversed(QString::fromUtf8(kReversedTitle.data(), kReversedTitle.size())));
    QFont titleFont = Label1->font();
    titleFont.setPointSize(11);
    titleFont.setBold(true);
    Label1->setFont(titleFont);
    Label2 = label("Label2", QStringLiteral("..."));
    Label2->setTextInteractionFlags(Qt::TextSelectableByMouse);
    Label3 = label("Label3", QStringLiteral("Дата компиляции: "));
    Label4 = label("Label4", QStringLiteral("..."));
    Label5 = label("Label5", QStringLiteral("sss"));
    Label6 = label("Label6", QStringLiteral("Сайт программы"));
    Label6->setToolTip(QStringLiteral("Перейти на сайт программы"));
    for (QLabel* link : {Label5, Label6}) {
        MakeLink(link);
        link->installEventFilter(this);
    }

    PngBitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("Закрыть"), this);
    PngBitBtn1->setObjectName(QStringLiteral("PngBitBtn1"));
    PngBitBtn1->setDefault(true);
    connect(PngBitBtn1, &QPushButton::clicked, this, &QDialog::accept);

    auto* heading = new QGridLayout;
    heading->setHorizontalSpacing(12);
    heading->setVerticalSpacing(2);
    heading->addWidget(image, 0, 0, 2, 1, Qt::AlignTop);
    heading->addWidget(Label1, 0, 1, Qt::AlignBottom);
    heading->addWidget(Label2, 1, 1, Qt::AlignTop);
    heading->setColumnStretch(1, 1);

    // lang.ini drops the blank after the caption, so the layout keeps the gap.
    auto* built = new QHBoxLayout;
    built->setSpacing(4);
    built->addWidget(Label3);
    built->addWidget(Label4);
    built->addStretch(1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(PngBitBtn1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->addLayout(heading);
    column->addSpacing(10);
    column->addLayout(built);
    column->addSpacing(6);
    column->addWidget(Label5, 0, Qt::AlignLeft);
    column->addWidget(Label6, 0, Qt::AlignLeft);
    column->addStretch(1);
    column->addLayout(buttons);
}

void TAboutForm::ApplyLanguage(const std::string& langIniPath, const std::string& language) {
    ApplyWindowTextsFromFile(*this, "AboutForm", langIniPath, language, AboutWindowTextRules());
}

void TAboutForm::ShowAbout(const QString& versionText, const QString& buildDateText) {
    Label2->setText(versionText);
    Label4->setText(buildDateText);
    exec();
}

void TAboutForm::showEvent(QShowEvent* event) {
    Label5->setText(QString::fromUtf8(kSupportMail.data(), kSupportMail.size()));
    QDialog::showEvent(event);
}

bool TAboutForm::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        // A link that cannot be opened (no mail program, no browser) is not reported.
        if (watched == Label5) {
            openUrl_(SupportMailUrl());
            return true;
        }
        if (watched == Label6) {
            openUrl_(WebSiteUrl());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace zelvan

#include "about_form.moc"
