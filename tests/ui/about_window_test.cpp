#include "ui/about_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "jobs/update_check.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

QLabel* LabelOf(AboutWindow& form, const char* name) {
    auto* label = form.findChild<QLabel*>(QLatin1String(name));
    EXPECT_NE(label, nullptr) << name;
    return label;
}

QString TextOf(AboutWindow& form, const char* name) {
    QLabel* label = LabelOf(form, name);
    return label ? label->text() : QString();
}

void Click(QWidget* widget) {
    const QPointF at(2, 2);
    QMouseEvent press(QEvent::MouseButtonPress, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, widget->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
    QApplication::sendEvent(widget, &release);
}

const std::string kLangIni = std::string(ZELVAN_SOURCE_DIR) + "/lang.ini";

TEST(AboutWindow, DesignState) {
    AboutWindow form;
    EXPECT_EQ(form.objectName(), "AboutForm");
    EXPECT_EQ(form.windowTitle(), "О программе");
    EXPECT_EQ(form.size(), QSize(278, 199));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_TRUE(form.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(form.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));

    // The title is turned round from the stored text.
    QLabel* title = LabelOf(form, "Label1");
    ASSERT_NE(title, nullptr);
    EXPECT_EQ(title->text(), "Zelvan");
    EXPECT_TRUE(title->font().bold());
    EXPECT_EQ(title->font().pointSize(), 11);

    EXPECT_EQ(TextOf(form, "Label2"), "...");
    EXPECT_EQ(TextOf(form, "Label3"), "Дата компиляции: ");
    EXPECT_EQ(TextOf(form, "Label6"), "Сайт программы");
    EXPECT_EQ(LabelOf(form, "Label6")->toolTip(), "Перейти на сайт программы");
    for (const char* link : {"Label5", "Label6"}) {
        QLabel* label = LabelOf(form, link);
        EXPECT_EQ(label->cursor().shape(), Qt::PointingHandCursor) << link;
        EXPECT_TRUE(label->font().underline()) << link;
        EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 0, 128)) << link;
    }
    auto* close = form.findChild<QPushButton*>("PngBitBtn1");
    ASSERT_NE(close, nullptr);
    EXPECT_EQ(close->text(), "Закрыть");

    QWidget* picture = form.findChild<QWidget*>("Image1");
    ASSERT_NE(picture, nullptr);
    EXPECT_EQ(picture->size(), QSize(48, 48));
    EXPECT_FALSE(ZelvanIcon().pixmap(48, 48).isNull());
    EXPECT_TRUE(ZelvanIcon().availableSizes().contains(QSize(48, 48)));
}

TEST(AboutWindow, LanguagesFromTheFile) {
    AboutWindow form;
    form.ApplyLanguage(kLangIni, "English");
    EXPECT_EQ(form.windowTitle(), "About Zelvan");
    EXPECT_EQ(TextOf(form, "Label3"), "Build date:");
    EXPECT_EQ(TextOf(form, "Label6"), "Zelvan website");
    EXPECT_EQ(LabelOf(form, "Label6")->toolTip(), "Open the Zelvan website");
    EXPECT_EQ(form.findChild<QPushButton*>("PngBitBtn1")->text(), "Close");
    EXPECT_EQ(TextOf(form, "Label1"), "Zelvan");

    form.ApplyLanguage(kLangIni, "Russian");
    EXPECT_EQ(form.windowTitle(), "О программе");
    EXPECT_EQ(TextOf(form, "Label6"), "Сайт программы");
    EXPECT_EQ(form.findChild<QPushButton*>("PngBitBtn1")->text(), "Закрыть");

    // A missing file or language changes nothing.
    form.ApplyLanguage("/nonexistent/lang.ini", "English");
    form.ApplyLanguage(kLangIni, "Klingon");
    EXPECT_EQ(form.windowTitle(), "О программе");
    EXPECT_EQ(TextOf(form, "Label3"), "Дата сборки:");
}

TEST(AboutWindow, ReadsTheFileAfreshEachTime) {
    test::TempDir dir;
    const std::string path = dir / "lang.ini";
    auto write = [&](const std::string& text) { std::ofstream(path) << text; };

    AboutWindow form;
    write("[English]\nAboutForm=About\nAboutFormLabel6=Website\nAboutFormLabel6Hint=Visit\n");
    form.ApplyLanguage(path, "English");
    EXPECT_EQ(form.windowTitle(), "About");
    EXPECT_EQ(LabelOf(form, "Label6")->toolTip(), "Visit");

    // Edited while the program runs; a key now missing keeps the text it had.
    write("[English]\nAboutForm=About the program\n");
    form.ApplyLanguage(path, "English");
    EXPECT_EQ(form.windowTitle(), "About the program");
    EXPECT_EQ(TextOf(form, "Label6"), "Website");
}

TEST(AboutWindow, ShowAboutFillsTheLabelsAndTheLinksOpen) {
    AboutWindow form;
    std::vector<QUrl> opened;
    form.SetUrlOpener([&](const QUrl& url) { opened.push_back(url); });

    bool wasShown = false;
    QString version, buildDate, mail;
    QTimer::singleShot(0, &form, [&] {
        wasShown = form.isVisible() && form.isModal();
        version = TextOf(form, "Label2");
        buildDate = TextOf(form, "Label4");
        mail = TextOf(form, "Label5");
        Click(LabelOf(form, "Label5"));
        Click(LabelOf(form, "Label6"));
        Click(LabelOf(form, "Label3"));  // not a link
        form.findChild<QPushButton*>("PngBitBtn1")->click();
    });
    // A guard, so that a broken close button fails the test instead of hanging it.
    QTimer::singleShot(5000, &form, [&] { form.reject(); });
    form.ShowAbout("1.0.5.737", "29.01.2012 11:51:40");

    EXPECT_TRUE(wasShown);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), QDialog::Accepted);
    EXPECT_EQ(version, "1.0.5.737");
    EXPECT_EQ(buildDate, "29.01.2012 11:51:40");
    EXPECT_EQ(mail.toStdString(), std::string(kSupportMail));
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0].toString().toStdString(), "mailto:" + std::string(kSupportMail));
    EXPECT_EQ(opened[1].toString(), ProductSiteUrl() + "/");

    // For a look at the window: ZELVAN_SCREENSHOT_DIR=/some/folder ./test_ui --gtest_filter=AboutWindow*
    if (const char* folder = std::getenv("ZELVAN_SCREENSHOT_DIR")) {
        form.ApplyLanguage(kLangIni, "English");
        form.show();
        QApplication::processEvents();
        form.grab().save(QDir(folder).filePath("about_en.png"));
        form.ApplyLanguage(kLangIni, "Russian");
        QApplication::processEvents();
        form.grab().save(QDir(folder).filePath("about_ru.png"));
        form.hide();
    }
}

}  // namespace
}  // namespace zelvan
