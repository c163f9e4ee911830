#include "ui/statistics_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <fstream>

#include "support/test_support.h"

namespace zelvan {
namespace {

std::string Text(QWidget& window, const char* name) {
    auto* label = window.findChild<QLabel*>(QString::fromLatin1(name));
    EXPECT_NE(label, nullptr) << name;
    return label ? label->text().toStdString() : std::string();
}

TEST(StatisticsWindow, DesignTextsAndFigures) {
    LifetimeCounters counters;
    StatisticsWindow form(counters);
    EXPECT_EQ(form.objectName(), "Statisticsform");
    EXPECT_EQ(form.windowTitle(), "Статистика");
    EXPECT_EQ(Text(form, "GroupBox1"), "Статистика по обработанным файлам");
    EXPECT_EQ(Text(form, "Label2"), "0 КиБ");
    EXPECT_EQ(form.findChild<QPushButton*>("PngBitBtn1")->text(), "Закрыть");

    struct Case {
        std::int64_t kib;
        std::int64_t files;
        const char* data;
        const char* count;
    };
    for (Case c : {Case{0, 0, "0 KiB", "0"}, Case{1001, 7, "1001 KiB", "7"}, Case{1002, 8, "0 MiB", "8"},
                   Case{2047, 9, "1 MiB", "9"}, Case{2048, 123456, "2 MiB", "123456"}}) {
        counters.processedKiB.store(c.kib);
        counters.processedFiles.store(c.files);
        form.WriteFigures();
        EXPECT_EQ(Text(form, "Label2"), c.data) << c.kib;
        EXPECT_EQ(Text(form, "Label4"), c.count) << c.kib;
    }
}

TEST(StatisticsWindow, ShowsInEnglishThenTheCurrentLanguageModally) {
    test::TempDir dir;
    const std::string langIni = dir / "lang.ini";
    std::ofstream(langIni) << "[English]\nStatisticsform=Statistics\nStatisticsformGroupBox1=Processed files, all time\n"
                              "StatisticsformLabel1=Data:\nStatisticsformLabel1Hint=Data, all time\n"
                              "StatisticsformLabel3=Files:\nStatisticsformPngBitBtn1=Close\n"
                              "[Russian]\nStatisticsform=Статистика\nStatisticsformLabel1=Данных:\n"
                              "StatisticsformPngBitBtn1=Закрыть\n";
    LifetimeCounters counters;
    counters.processedKiB.store(5 * 1024 + 300);
    counters.processedFiles.store(42);
    StatisticsWindow form(counters);

    struct Seen {
        bool shown = false;
        std::string title, group, label1, label2, label3, label4, button;
    } seen;
    // Reads the window while it is modal, then closes it with its button.
    QTimer::singleShot(50, [&] {
        seen.shown = form.isVisible() && QApplication::activeModalWidget() == &form;
        seen.title = form.windowTitle().toStdString();
        seen.group = Text(form, "GroupBox1");
        seen.label1 = Text(form, "Label1");
        seen.label2 = Text(form, "Label2");
        seen.label3 = Text(form, "Label3");
        seen.label4 = Text(form, "Label4");
        seen.button = form.findChild<QPushButton*>("PngBitBtn1")->text().toStdString();
        form.findChild<QPushButton*>("PngBitBtn1")->click();
    });
    QTimer guard;
    QObject::connect(&guard, &QTimer::timeout, [&] { form.hide(); });
    guard.start(10000);
    form.ShowStatistics(langIni, "Russian");
    EXPECT_TRUE(seen.shown);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(seen.title, "Статистика");
    EXPECT_EQ(seen.label1, "Данных:");
    EXPECT_EQ(seen.button, "Закрыть");
    // What Russian lacks reads in English, not in the design texts.
    EXPECT_EQ(seen.group, "Processed files, all time");
    EXPECT_EQ(seen.label3, "Files:");
    EXPECT_EQ(seen.label2, "5 MiB");
    EXPECT_EQ(seen.label4, "42");
    EXPECT_EQ(form.findChild<QLabel*>("Label1")->toolTip(), "Data, all time");
}

}  // namespace
}  // namespace zelvan
