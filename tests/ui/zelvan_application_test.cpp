#include "ui/zelvan_application.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEvent>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/test_support.h"

namespace zelvan {
namespace {

// An object whose handler of user events fails.
class FailingReceiver : public QObject {
public:
    int handled = 0;
    bool event(QEvent* e) override {
        if (e->type() == QEvent::User) throw std::runtime_error("handler failed " + std::to_string(++handled));
        if (e->type() == QEvent::User + 1) {
            ++handled;
            return true;
        }
        return QObject::event(e);
    }
};

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The test program's application object is a plain QApplication, so this drives the same guard
// that ZelvanApplication::notify() puts around Qt's delivery of every event.
bool Deliver(QObject* receiver, QEvent* event, const std::string& log) {
    return ZelvanApplication::DeliverLoggingExceptions(
        [&] { return static_cast<QApplication*>(QCoreApplication::instance())->QApplication::notify(receiver, event); },
        log);
}

TEST(ZelvanApplication, ExceptionsFromEventHandlersGoToTheLogAndEventsGoOn) {
    test::TempDir dir;
    const std::string log = dir / "zelvan.error.log";
    {
        std::ofstream(log) << "from an earlier start\n";
    }
    FailingReceiver receiver;
    QEvent failing(QEvent::User);
    EXPECT_FALSE(Deliver(&receiver, &failing, log));
    EXPECT_FALSE(Deliver(&receiver, &failing, log));
    QEvent fine(static_cast<QEvent::Type>(QEvent::User + 1));
    EXPECT_TRUE(Deliver(&receiver, &fine, log));
    EXPECT_EQ(receiver.handled, 3);

    const std::vector<std::string> lines = ReadLines(log);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "from an earlier start");
    auto endsWith = [](const std::string& s, const std::string& tail) {
        return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
    };
    EXPECT_TRUE(endsWith(lines[1], " : handler failed 1")) << lines[1];
    EXPECT_TRUE(endsWith(lines[2], " : handler failed 2")) << lines[2];
}

TEST(ZelvanApplication, ExceptionsOfAnyKindAndAnUnwritableLogAreSurvived) {
    test::TempDir dir;
    const std::string log = dir / "zelvan.error.log";
    EXPECT_FALSE(ZelvanApplication::DeliverLoggingExceptions([]() -> bool { throw 42; }, log));
    const std::vector<std::string> lines = ReadLines(log);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" : Unknown exception"), std::string::npos);

    // A log that cannot be written loses the entry, not the program.
    test::WriteBytes(dir / "file", std::vector<std::uint8_t>{'x'});
    bool result = true;
    EXPECT_NO_THROW(result = ZelvanApplication::DeliverLoggingExceptions(
                        []() -> bool { throw std::logic_error("x"); }, dir / "file/zelvan.error.log"));
    EXPECT_FALSE(result);
}

}  // namespace
}  // namespace zelvan
