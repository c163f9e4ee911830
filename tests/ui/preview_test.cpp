#include "ui/preview.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <condition_variable>
#include <mutex>

#include "imaging/raster.h"
#include "imaging/writers/writers.h"
#include "support/exif_fixtures.h"
#include "support/fixtures.h"
#include "support/test_support.h"

namespace zelvan {
namespace {

using test::TempDir;

template <typename Condition>
bool WaitFor(Condition condition, int milliseconds = 10000) {
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > milliseconds) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

TEST(FitIntoBox, ScalesDownKeepingProportionsNeverUp) {
    struct Case {
        int w, h, bw, bh;
        QSize expected;
    };
    const Case cases[] = {
        {4000, 3000, 488, 295, {393, 295}},  // landscape limited by the height
        {300, 200, 488, 295, {300, 200}},    // fits: unchanged
        {488, 295, 488, 295, {488, 295}},
        {1000, 100, 488, 295, {488, 48}},    // landscape limited by the width
        {1000, 3000, 488, 295, {98, 295}},   // portrait
        {3000, 3000, 200, 100, {100, 100}},  // square counts as portrait: height first
        {3000, 3000, 100, 200, {100, 100}},  // ... then the width limits it
        {0, 5000, 488, 295, {488, 295}},     // no size: the box
    };
    for (const Case& c : cases)
        EXPECT_EQ(FitIntoBox(c.w, c.h, c.bw, c.bh), c.expected) << c.w << "x" << c.h << " in " << c.bw << "x" << c.bh;
}

TEST(PreviewInfoText, NamesTheFileAndItsSize) {
    EXPECT_EQ(PreviewInfoText("/photos/IMG_1.jpg", 4000, 3000), "IMG_1.jpg - 4000x3000 ");
    const std::string sixty(60, 'n');
    EXPECT_EQ(PreviewInfoText("/a/" + sixty, 1, 2), QString(50, 'n') + "... - 1x2 ");
    EXPECT_EQ(PreviewInfoText("/a/" + std::string(50, 'n'), 1, 2), QString(50, 'n') + " - 1x2 ");
}

TEST(LoadPreview, MessagesAndTheOwnReadersFallback) {
    TempDir dir;
    test::WriteBytes(dir / "tiny.png", std::vector<std::uint8_t>(49, 0x42));
    test::WriteBytes(dir / "camera.nef", std::vector<std::uint8_t>(5000, 0x42));
    test::WriteBytes(dir / "broken.png", std::vector<std::uint8_t>(500, 0x42));
    // Targa has no Qt reader here: decoded by the program's reader, resampled nearest-neighbour.
    Raster stripes(400, 100, 24);
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 400; ++x) stripes.row(y)[3 * x + 2] = (x / 100) % 2 ? 255 : 0;  // red in the 2nd, 4th quarter
    test::WriteBytes(dir / "stripes.tga", EncodeTga(stripes, nullptr));

    EXPECT_EQ(LoadPreview(dir / "tiny.png", {488, 295}).message, "Error!");
    EXPECT_EQ(LoadPreview(dir / "missing.png", {488, 295}).message, "Error!");
    EXPECT_EQ(LoadPreview(dir / "camera.nef", {488, 295}).message, "No preview for RAW");
    const PreviewResult broken = LoadPreview(dir / "broken.png", {488, 295});
    EXPECT_TRUE(broken.image.isNull());
    EXPECT_FALSE(broken.message.isEmpty());
    EXPECT_NE(broken.message, "Error!");  // the reader's own words

    const PreviewResult tga = LoadPreview(dir / "stripes.tga", {200, 200});
    EXPECT_TRUE(tga.message.isEmpty());
    EXPECT_EQ(tga.sourceWidth, 400);
    EXPECT_EQ(tga.sourceHeight, 100);
    ASSERT_EQ(tga.image.size(), QSize(200, 50));
    EXPECT_EQ(tga.image.pixelColor(10, 20), QColor(0, 0, 0));
    EXPECT_EQ(tga.image.pixelColor(60, 20), QColor(255, 0, 0));
}

TEST(LoadPreview, LargeJpegIsDecodedAtThePreviewSize) {
    TempDir dir;
    QImage photo(3000, 2000, QImage::Format_RGB32);
    photo.fill(QColor(30, 120, 200));
    ASSERT_TRUE(photo.save(QString::fromStdString(dir / "photo.jpg"), "JPEG", 80));
    const PreviewResult result = LoadPreview(dir / "photo.jpg", {488, 295});
    EXPECT_TRUE(result.message.isEmpty());
    EXPECT_EQ(result.sourceWidth, 3000);
    EXPECT_EQ(result.sourceHeight, 2000);
    EXPECT_EQ(result.image.size(), QSize(442, 295));
    const QColor centre = result.image.pixelColor(221, 147);
    EXPECT_NEAR(centre.red(), 30, 6);
    EXPECT_NEAR(centre.blue(), 200, 6);
}

// A photo whose orientation says "turned 90 degrees clockwise" is shown upright when asked: its
// stored left half (red) becomes the top, and the size reads as shown.
TEST(LoadPreview, TurnsAPhotoUprightByItsOrientation) {
    TempDir dir;
    const auto halves = [](int x, int) { return x < 20 ? test::Rgba{255, 0, 0} : test::Rgba{0, 0, 255}; };
    test::WritePngFile(dir / "plain.png", 40, 20, test::PngKind::Rgb, halves);
    const std::vector<std::uint8_t> block = test::ExifOrientationBlock(6);
    test::WriteBytes(dir / "turned.png", test::WithExifChunk(test::ReadBytes(dir / "plain.png"), block));
    QImage stored(40, 20, QImage::Format_RGB32);
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 40; ++x) stored.setPixelColor(x, y, x < 20 ? Qt::red : Qt::blue);
    ASSERT_TRUE(stored.save(QString::fromStdString(dir / "plain.jpg"), "JPEG", 95));
    test::WriteBytes(dir / "turned.jpg", test::WithExifSegment(test::ReadBytes(dir / "plain.jpg"), block));

    for (const char* name : {"turned.jpg", "turned.png"}) {
        SCOPED_TRACE(name);
        const PreviewResult upright = LoadPreview(dir / name, {488, 295}, true);
        EXPECT_EQ(QSize(upright.sourceWidth, upright.sourceHeight), QSize(20, 40));
        ASSERT_EQ(upright.image.size(), QSize(20, 40));
        EXPECT_GT(upright.image.pixelColor(10, 5).red(), 200);
        EXPECT_GT(upright.image.pixelColor(10, 35).blue(), 200);
        const PreviewResult asStored = LoadPreview(dir / name, {488, 295}, false);
        ASSERT_EQ(asStored.image.size(), QSize(40, 20));
        EXPECT_GT(asStored.image.pixelColor(5, 10).red(), 200);
        // Fitted as shown: a box as small as the picture's shown width halves it.
        EXPECT_EQ(LoadPreview(dir / name, {10, 295}, true).image.size(), QSize(10, 20));
    }
}

// Holds loads back until the test lets them go, and counts them.
struct HeldLoads {
    PreviewPane& pane;
    std::mutex mutex;
    std::condition_variable wake;
    bool open = false;
    std::vector<std::string> started;

    explicit HeldLoads(PreviewPane& loading) : pane(loading) {
        pane.SetLoadStarted([this](const std::string& path) {
            std::unique_lock lock(mutex);
            started.push_back(path);
            wake.wait(lock, [this] { return open; });
        });
    }
    ~HeldLoads() {
        Release();
        pane.WaitForLoad();
        pane.SetLoadStarted(nullptr);
    }
    void Release() {
        std::lock_guard lock(mutex);
        open = true;
        wake.notify_all();
    }
    std::size_t Count() {
        std::lock_guard lock(mutex);
        return started.size();
    }
};

TEST(PreviewPane, ShowsAPictureAndKeepsJobsWaitingWhileItLoads) {
    TempDir dir;
    const auto colour = [](int x, int) { return test::Rgba{std::uint8_t(x), 50, 50}; };
    test::WritePngFile(dir / "first.png", 200, 100, test::PngKind::Rgb, colour);
    test::WritePngFile(dir / "second.png", 4000, 3000, test::PngKind::Rgb, colour);

    JobGate gate;
    gate.Close();
    PreviewPane pane(gate);
    EXPECT_TRUE(gate.IsOpen());
    EXPECT_FALSE(pane.Picture().isNull());  // the placeholder
    pane.resize(520, 360);
    pane.show();
    ASSERT_TRUE(WaitFor([&] { return pane.BoxSize().width() == 520; }));
    const QSize box = pane.BoxSize();

    HeldLoads held(pane);
    pane.ShowPreview(dir / "first.png");
    ASSERT_TRUE(WaitFor([&] { return held.Count() == 1; }));
    EXPECT_FALSE(gate.IsOpen());
    EXPECT_TRUE(pane.Picture().isNull());  // cleared as the load starts

    // Another selection during the load starts no second loader; the end of the load does.
    pane.ShowPreview(dir / "second.png");
    QCoreApplication::processEvents();
    EXPECT_EQ(held.Count(), 1u);
    held.Release();
    ASSERT_TRUE(WaitFor([&] { return pane.PreviewPath() == dir / "second.png" && gate.IsOpen(); }));
    EXPECT_EQ(held.Count(), 2u);
    EXPECT_EQ(pane.InfoText(), "second.png - 4000x3000 ");
    EXPECT_EQ(pane.Picture().size(), FitIntoBox(4000, 3000, box.width(), box.height()));

    // The same file again: the picture of first.png, which fits and keeps its size.
    pane.ShowPreview(dir / "first.png");
    ASSERT_TRUE(WaitFor([&] { return pane.PreviewPath() == dir / "first.png" && gate.IsOpen(); }));
    EXPECT_EQ(pane.InfoText(), "first.png - 200x100 ");
    EXPECT_EQ(pane.Picture().size(), QSize(200, 100));
    EXPECT_EQ(pane.Picture().pixelColor(150, 50).red(), 150);
}

TEST(PreviewPane, ARunOfResizesReloadsOnceAtTheNewSize) {
    TempDir dir;
    test::WritePngFile(dir / "photo.png", 4000, 3000, test::PngKind::Rgb, [](int, int) { return test::Rgba{9, 9, 9}; });
    JobGate gate;
    PreviewPane pane(gate);
    int shown = 0;
    QObject::connect(&pane, &PreviewPane::PreviewShown, [&] { ++shown; });
    pane.resize(500, 400);
    pane.show();
    ASSERT_TRUE(WaitFor([&] { return pane.BoxSize().width() == 500; }));
    pane.RememberBoxSize();
    pane.ShowPreview(dir / "photo.png");
    ASSERT_TRUE(WaitFor([&] { return shown == 1 && gate.IsOpen(); }));

    for (int width = 420; width >= 300; width -= 20) {
        pane.resize(width, 300);
        QElapsedTimer pause;
        pause.start();
        WaitFor([&] { return pause.elapsed() >= 30; });
    }
    ASSERT_TRUE(WaitFor([&] { return shown == 2 && gate.IsOpen(); }, 5000));
    const QSize box = pane.BoxSize();
    EXPECT_EQ(box.width(), 300);
    EXPECT_EQ(pane.Picture().size(), FitIntoBox(4000, 3000, box.width(), box.height()));
    QElapsedTimer settle;
    settle.start();
    WaitFor([&] { return settle.elapsed() >= 1300; });
    EXPECT_EQ(shown, 2);  // one reload for the whole run of resizes
}

TEST(PreviewPane, MessagesForRawAndBrokenFiles) {
    TempDir dir;
    test::WriteBytes(dir / "camera.cr2", std::vector<std::uint8_t>(5000, 0x42));
    test::WriteBytes(dir / "small.jpg", std::vector<std::uint8_t>(20, 0x42));
    JobGate gate;
    PreviewPane pane(gate);
    pane.resize(400, 300);
    pane.show();

    struct Case {
        std::string name;
        QString line;
    };
    for (const Case& c : {Case{"camera.cr2", "No preview for RAW"}, Case{"small.jpg", "Error!"}}) {
        int shown = 0;
        const auto connection = QObject::connect(&pane, &PreviewPane::PreviewShown, [&] { ++shown; });
        pane.ShowPreview(dir / c.name);
        ASSERT_TRUE(WaitFor([&] { return shown == 1 && gate.IsOpen(); })) << c.name;
        QObject::disconnect(connection);
        EXPECT_EQ(pane.InfoText(), c.line);
        EXPECT_TRUE(pane.Picture().isNull());
    }
    // A file that has gone away starts nothing.
    pane.ShowPreview(dir / "gone.png");
    EXPECT_TRUE(gate.IsOpen());
    EXPECT_EQ(pane.PreviewPath(), dir / "small.jpg");
}

}  // namespace
}  // namespace zelvan
