#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QTabWidget>
#include <QWidget>

#include "ui/window_texts.h"

namespace zelvan {
namespace {

class DerivedLabel : public QLabel {
    Q_OBJECT
};

LanguageFile Texts() {
    return LanguageFile(IniFile::Parse(
        "[English]\nWin=Window\nWinLabel1=One\nWinLabel1Hint=Hint one\nWinLabel2=Two\n"
        "WinCheckBox1=Box\nWinTabSheet1=Page\n"
        "[Russian]\nWinLabel1=Один\n"));
}

TEST(WindowTexts, NamingRuleKindsAndFallbacks) {
    QWidget window;
    window.setWindowTitle("design");
    auto* label1 = new QLabel("l1", &window);
    label1->setObjectName("Label1");
    auto* label2 = new DerivedLabel;  // a subclass does not count
    label2->setParent(&window);
    label2->setObjectName("Label2");
    label2->setText("l2");
    auto* box = new QCheckBox("b", &window);
    box->setObjectName("CheckBox1");
    auto* tabs = new QTabWidget(&window);
    auto* page = new QWidget;
    page->setObjectName("TabSheet1");
    tabs->addTab(page, "p");

    const LanguageFile file = Texts();
    ApplyWindowTexts(window, "Win", file, "English", StatisticsWindowTextRules());
    EXPECT_EQ(window.windowTitle(), "Window");
    EXPECT_EQ(label1->text(), "One");
    EXPECT_EQ(label1->toolTip(), "");  // no label hints in this window
    EXPECT_EQ(label2->text(), "l2");
    EXPECT_EQ(box->text(), "Box");
    EXPECT_EQ(tabs->tabText(0), "p");

    ApplyWindowTexts(window, "Win", file, "English", MainWindowTextRules());
    EXPECT_EQ(label1->toolTip(), "Hint one");
    EXPECT_EQ(tabs->tabText(0), "Page");

    // A key missing in the new language keeps the previous language's text.
    ApplyWindowTexts(window, "Win", file, "Russian", MainWindowTextRules());
    EXPECT_EQ(label1->text(), QString::fromUtf8("Один"));
    EXPECT_EQ(box->text(), "Box");
    EXPECT_EQ(window.windowTitle(), "Window");
}

}  // namespace
}  // namespace zelvan

#include "window_texts_test.moc"
