// Qt's own texts follow the program's language: a message box's buttons in Russian, Qt's English
// again after switching back, and English whenever Qt's file is missing.
#include "ui/qt_translations.h"

#include <gtest/gtest.h>

#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>

#include "support/test_support.h"

namespace zelvan {
namespace {

QString YesText() {
    QMessageBox box(QMessageBox::Question, "caption", "text", QMessageBox::Yes | QMessageBox::No);
    return box.button(QMessageBox::Yes)->text();
}

TEST(QtTranslations, MessageBoxButtonsFollowTheLanguage) {
    const QString english = YesText();
    // scripts/install-deps.sh installs it (qt6-translations-l10n).
    ASSERT_TRUE(QFileInfo::exists(QString::fromStdString(QtTranslations::DefaultFolder() + "/qtbase_ru.qm")))
        << "Qt's Russian translation is missing";
    {
        QtTranslations translations;
        EXPECT_TRUE(translations.Apply("Russian"));
        EXPECT_TRUE(YesText().contains(QString::fromUtf8("Да"))) << YesText().toStdString();
        EXPECT_FALSE(translations.Apply("English"));
        EXPECT_EQ(YesText(), english);
        EXPECT_TRUE(translations.Apply("Russian"));
        EXPECT_NE(YesText(), english);
    }
    // Gone with its owner.
    EXPECT_EQ(YesText(), english);
}

TEST(QtTranslations, AMissingFileOrAnUnknownLanguageKeepsQtsTexts) {
    const QString english = YesText();
    test::TempDir empty;
    QtTranslations translations(empty / "");
    EXPECT_FALSE(translations.Apply("Russian"));
    EXPECT_EQ(YesText(), english);
    QtTranslations real;
    EXPECT_FALSE(real.Apply("Klingonish"));
    EXPECT_FALSE(real.Apply(""));
    EXPECT_EQ(YesText(), english);
}

}  // namespace
}  // namespace zelvan
