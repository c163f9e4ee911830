#include "ui/about_window.h"

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
#include "ui/message_box.h"
#include "ui/window_texts.h"

// The icon's resource lives in this static library; naming it here keeps the linker from
// dropping it. Q_INIT_RESOURCE must be used outside any namespace.
static void InitIconResource() { Q_INIT_RESOURCE(zelvan); }

namespace zelvan {
namespace {

// The product name is kept back to front and turned round where it is shown.
constexpr std::string_view kReversedName = "navleZ";

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

QString ProductDisplayName() {
    return Reversed(QString::fromUtf8(kReversedName.data(), static_cast<qsizetype>(kReversedName.size())));
}

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

QUrl AboutWindow::SupportMailUrl() {
    return QUrl(QStringLiteral("mailto:") + QString::fromUtf8(kSupportMail.data(), kSupportMail.size()));
}

QUrl AboutWindow::WebSiteUrl() { return QUrl(ProductSiteUrl() + QLatin1Char('/')); }

AboutWindow::AboutWindow(QWidget* parent)
    : QDialog(parent), openUrl_([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("AboutForm"));
    setWindowTitle(QStringLiteral("О программе"));
    // A fixed border with only the close box.
    setWindowFlags(kDialogFrame);
    setFixedSize(278, 199);

    auto* image = new ProductPicture(this);
    image->setObjectName(QStringLiteral("Image1"));

    auto label = [this](const char* name, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(QLatin1String(name));
        return l;
    };
    productName_ = label("Label1", ProductDisplayName());
    QFont titleFont = productName_->font();
    titleFont.setPointSize(11);
    titleFont.setBold(true);
    productName_->setFont(titleFont);
    version_ = label("Label2", QStringLiteral("..."));
    version_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    buildDateCaption_ = label("Label3", QStringLiteral("Дата компиляции: "));
    buildDate_ = label("Label4", QStringLiteral("..."));
    supportMail_ = label("Label5", QStringLiteral("sss"));
    webSite_ = label("Label6", QStringLiteral("Сайт программы"));
    webSite_->setToolTip(QStringLiteral("Перейти на сайт программы"));
    for (QLabel* link : {supportMail_, webSite_}) {
        MakeLink(link);
        link->installEventFilter(this);
    }

    closeButton_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogCloseButton), QStringLiteral("Закрыть"), this);
    closeButton_->setObjectName(QStringLiteral("PngBitBtn1"));
    closeButton_->setDefault(true);
    connect(closeButton_, &QPushButton::clicked, this, &QDialog::accept);

    auto* heading = new QGridLayout;
    heading->setHorizontalSpacing(12);
    heading->setVerticalSpacing(2);
    heading->addWidget(image, 0, 0, 2, 1, Qt::AlignTop);
    heading->addWidget(productName_, 0, 1, Qt::AlignBottom);
    heading->addWidget(version_, 1, 1, Qt::AlignTop);
    heading->setColumnStretch(1, 1);

    // lang.ini drops the blank after the caption, so the layout keeps the gap.
    auto* built = new QHBoxLayout;
    built->setSpacing(4);
    built->addWidget(buildDateCaption_);
    built->addWidget(buildDate_);
    built->addStretch(1);

    // The licence the program is given under (LICENSE), by its name, which needs no translation.
    auto* licence = label("LicenceLabel", QStringLiteral("GNU GPL 3.0+"));
    licence->setToolTip(QStringLiteral("GPL-3.0-or-later"));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(licence, 0, Qt::AlignBottom);
    buttons->addStretch(1);
    buttons->addWidget(closeButton_);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(12, 12, 12, 12);
    column->addLayout(heading);
    column->addSpacing(10);
    column->addLayout(built);
    column->addSpacing(6);
    column->addWidget(supportMail_, 0, Qt::AlignLeft);
    column->addWidget(webSite_, 0, Qt::AlignLeft);
    column->addStretch(1);
    column->addLayout(buttons);
}

void AboutWindow::ApplyLanguage(const std::string& langIniPath, const std::string& language) {
    ApplyWindowTextsFromFile(*this, "AboutForm", langIniPath, language, AboutWindowTextRules());
}

void AboutWindow::ShowAbout(const QString& versionText, const QString& buildDateText) {
    version_->setText(versionText);
    buildDate_->setText(buildDateText);
    exec();
}

void AboutWindow::showEvent(QShowEvent* event) {
    supportMail_->setText(QString::fromUtf8(kSupportMail.data(), kSupportMail.size()));
    QDialog::showEvent(event);
}

bool AboutWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        // The opener tells the user when no program opens the link.
        if (watched == supportMail_) {
            openUrl_(SupportMailUrl());
            return true;
        }
        if (watched == webSite_) {
            openUrl_(WebSiteUrl());
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace zelvan

#include "about_window.moc"
