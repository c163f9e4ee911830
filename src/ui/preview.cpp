#include "ui/preview.h"

#include <QImageReader>
#include <QTransform>
#include <QtEndian>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>
#include <cstring>
#include <utility>

#include "base/error.h"
#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/extensions.h"
#include "engine/source_loading.h"
#include "imaging/orientation.h"
#include "imaging/resample.h"
#include "ui/image_size.h"

namespace zelvan {

// ---- Loading ----

QSize FitIntoBox(int w, int h, int bw, int bh) {
    if (w <= bw && h <= bh) return {w, h};
    if (w <= 0 || h <= 0) return {bw, bh};
    const double ratio = static_cast<double>(w) / h;
    int width;
    int height;
    if (h < w) {
        width = bw;
        height = static_cast<int>(bw / ratio);
        if (height > bh) {
            height = bh;
            width = static_cast<int>(bh * ratio);
        }
    } else {
        height = bh;
        width = static_cast<int>(bh * ratio);
        if (width > bw) {
            width = bw;
            height = static_cast<int>(bw / ratio);
        }
    }
    return {width, height};
}

namespace {

// Files this small hold no picture worth a reader's time.
constexpr std::int32_t kSmallestPreviewFile = 50;
constexpr int kLongestNameShown = 50;

// The preview through the program's own readers, for the formats Qt has no reader for;
// nearest neighbour is enough for a picture this small.
void LoadWithOwnReaders(const std::string& path, QSize box, bool upright, PreviewResult& result) {
    const LoadedSource source = LoadSource(path, std::string());
    const Raster& raster = source.picture.raster;
    const int orientation = upright ? source.picture.orientation : kOrientationAsStored;
    const bool swaps = OrientationSwapsSides(orientation);
    // Fitted as shown, resampled as stored, then turned: only the small picture is turned.
    const QSize shown = swaps ? QSize(raster.height(), raster.width()) : QSize(raster.width(), raster.height());
    result.sourceWidth = shown.width();
    result.sourceHeight = shown.height();
    const QSize fit = FitIntoBox(shown.width(), shown.height(), box.width(), box.height());
    if (fit.isEmpty()) return;
    const QSize stored = swaps ? fit.transposed() : fit;
    Raster small = ResampleBitmap(raster, stored.width(), stored.height(), 0);
    if (orientation != kOrientationAsStored) small = Oriented(small, orientation);
    QImage image(small.width(), small.height(), QImage::Format_BGR888);
    if (image.isNull()) throw Error("not enough memory for the preview");
    const std::size_t rowBytes = static_cast<std::size_t>(small.width()) * 3;
    for (int y = 0; y < small.height(); ++y) std::memcpy(image.scanLine(y), small.row(y), rowBytes);
    result.image = std::move(image);
}

// The Orientation of a PNG's eXIf chunk, which Qt's reader leaves unread; 1 without one.
int PngOrientation(QFile& file) {
    static constexpr char kSignature[] = "\x89PNG\r\n\x1a\n";
    if (!file.seek(0) || file.read(8) != QByteArray(kSignature, 8)) return kOrientationAsStored;
    while (true) {
        const QByteArray head = file.read(8);
        if (head.size() != 8) return kOrientationAsStored;
        const auto length = qFromBigEndian<quint32>(head.constData());
        const QByteArray type = head.mid(4);
        if (type == "IEND") return kOrientationAsStored;
        if (type == "eXIf") {
            if (length > (1u << 20)) return kOrientationAsStored;
            const QByteArray data = file.read(static_cast<qint64>(length));
            if (data.size() != static_cast<qsizetype>(length)) return kOrientationAsStored;
            return ExifOrientation({reinterpret_cast<const std::uint8_t*>(data.constData()), static_cast<std::size_t>(data.size())});
        }
        if (!file.seek(file.pos() + static_cast<qint64>(length) + 4)) return kOrientationAsStored;
    }
}

// The picture turned as `orientation` says (imaging/orientation.h): mirrored first, then turned.
QImage Oriented(const QImage& image, int orientation) {
    const QTransform clockwise = QTransform().rotate(90);
    switch (orientation) {
        case 2: return image.mirrored(true, false);
        case 3: return image.mirrored(true, true);
        case 4: return image.mirrored(false, true);
        case 5: return image.transformed(clockwise).mirrored(true, false);
        case 6: return image.transformed(clockwise);
        case 7: return image.transformed(clockwise).mirrored(false, true);
        case 8: return image.transformed(QTransform().rotate(270));
        default: return image;
    }
}

void LoadScaledPreview(const std::string& path, QSize box, bool upright, PreviewResult& result) {
    if (!FileExists(path)) return;
    QFile file;
    if (OpenFileByPath(path, file)) {
        // Qt turns JPEG and TIFF pictures itself; a PNG's orientation is read here.
        const int pngOrientation = upright ? PngOrientation(file) : kOrientationAsStored;
        file.seek(0);
        QImageReader reader(&file);
        reader.setAutoTransform(upright);
        const QSize size = reader.size();  // as stored
        if (size.isValid() && (size.width() != 0 || size.height() != 0)) {
            // The scaled size is the stored picture's; the picture is turned after decoding.
            const bool swaps = upright && ((reader.transformation() & QImageIOHandler::TransformationRotate90) ||
                                           OrientationSwapsSides(pngOrientation));
            const QSize shown = swaps ? size.transposed() : size;
            const QSize fit = FitIntoBox(shown.width(), shown.height(), box.width(), box.height());
            // Decoding straight at the preview's size: a JPEG is then decoded at a fraction of
            // its size, which is what makes a 50-megapixel photo quick.
            if (fit != shown) reader.setScaledSize(swaps ? fit.transposed() : fit);
            QImage image = fit.isEmpty() ? QImage() : reader.read();
            if (!image.isNull() && pngOrientation != kOrientationAsStored) image = Oriented(image, pngOrientation);
            if (!image.isNull() || fit.isEmpty()) {
                result.sourceWidth = shown.width();
                result.sourceHeight = shown.height();
                result.image = std::move(image);
                return;
            }
            // The header was readable but the pixels were not: the program's readers may
            // do better, and otherwise name the fault.
        }
    }
    LoadWithOwnReaders(path, box, upright, result);
}

}  // namespace

PreviewResult LoadPreview(const std::string& path, QSize box, bool upright) {
    PreviewResult result;
    try {
        if (FileSizeOf(path) >= kSmallestPreviewFile) {
            if (IsRawExtension(ExtractFileExt(path))) result.message = QStringLiteral("No preview for RAW");
            else LoadScaledPreview(path, box, upright, result);
        } else {
            result.message = QStringLiteral("Error!");
        }
    } catch (const std::exception& e) {
        result.image = QImage();
        result.message = e.what()[0] ? QString::fromUtf8(e.what()) : QStringLiteral("Error!");
    } catch (...) {
        result.image = QImage();
        result.message = QStringLiteral("Error!");
    }
    return result;
}

QString PreviewInfoText(const std::string& path, int sourceWidth, int sourceHeight) {
    const std::string name = ExtractFileName(path);
    QString shown = QString::fromUtf8(name.data(), qsizetype(name.size()));
    if (shown.size() > kLongestNameShown) shown = shown.left(kLongestNameShown) + "...";
    return shown + " - " + QString::number(sourceWidth) + "x" + QString::number(sourceHeight) + " ";
}

// ---- The picture area and the line below it ----

// Shows its picture centred, scaled down proportionally when the area is smaller than it (until
// the next load fits it again), never enlarged.
class PreviewPicture : public QWidget {
public:
    explicit PreviewPicture(QWidget* parent) : QWidget(parent) {
        setObjectName("Preview");
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
        setMinimumSize(64, 48);
    }
    QSize sizeHint() const override { return {488, 295}; }

    void SetImage(QImage image) {
        image_ = std::move(image);
        update();
    }
    const QImage& image() const { return image_; }

protected:
    void paintEvent(QPaintEvent*) override {
        if (image_.isNull()) return;
        QPainter painter(this);
        const QSize fit = FitIntoBox(image_.width(), image_.height(), width(), height());
        painter.setRenderHint(QPainter::SmoothPixmapTransform, fit != image_.size());
        const QRectF target(width() / 2.0 - fit.width() / 2.0, height() / 2.0 - fit.height() / 2.0, fit.width(),
                            fit.height());
        painter.drawImage(target, image_);
    }

private:
    QImage image_;
};

// One centred line; a text too long for it loses characters in the middle.
class PreviewInfoLine : public QWidget {
public:
    explicit PreviewInfoLine(QWidget* parent) : QWidget(parent) {
        setObjectName("Label18");
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override { return {200, fontMetrics().height() + 6}; }
    QSize minimumSizeHint() const override { return {16, fontMetrics().height() + 6}; }

    void SetText(const QString& text) {
        text_ = text;
        setToolTip(text);
        update();
    }
    const QString& text() const { return text_; }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QString shown = fontMetrics().elidedText(text_, Qt::ElideMiddle, width() - 4);
        painter.drawText(rect(), Qt::AlignCenter, shown);
    }

private:
    QString text_;
};

namespace {

// The picture shown before the first preview: a picture frame with hills and a sun.
QImage Placeholder(const QPalette& palette) {
    QImage image(178, 178, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    QColor ink = palette.color(QPalette::Mid);
    QColor fill = palette.color(QPalette::Midlight);
    painter.setPen(QPen(ink, 6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(17, 33, 144, 112), 12, 12);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawEllipse(QPointF(119, 70), 13, 13);
    QPainterPath hills;
    hills.moveTo(23, 139);
    hills.lineTo(66, 86);
    hills.lineTo(97, 120);
    hills.lineTo(115, 101);
    hills.lineTo(155, 139);
    hills.closeSubpath();
    QPainterPath inside;
    inside.addRoundedRect(QRectF(20, 36, 138, 106), 9, 9);
    painter.setClipPath(inside);
    painter.setBrush(ink);
    painter.drawPath(hills);
    return image;
}

}  // namespace

// ---- The pane ----

PreviewPane::PreviewPane(JobGate& jobGate, QWidget* parent)
    : QWidget(parent), jobGate_(jobGate), hasRows_([] { return true; }), upright_([] { return false; }) {
    setObjectName("PreviewPane");
    picture_ = new PreviewPicture(this);
    info_ = new PreviewInfoLine(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(picture_, 1);
    layout->addWidget(info_);
    picture_->SetImage(Placeholder(palette()));

    jobGate_.Open();
    clock_.start();
    idleTimer_.setSingleShot(true);
    idleTimer_.setInterval(1);
    connect(&idleTimer_, &QTimer::timeout, this, &PreviewPane::IdleTick);
    resizeTimer_.setSingleShot(true);
    resizeTimer_.setInterval(1000);
    connect(&resizeTimer_, &QTimer::timeout, this, &PreviewPane::ResizeTick);
    previewBoxSize_ = picture_->size();
}

PreviewPane::~PreviewPane() { WaitForLoad(); }

void PreviewPane::WaitForLoad() {
    if (loader_.joinable()) loader_.join();
}

void PreviewPane::RememberBoxSize() { previewBoxSize_ = picture_->size(); }

QString PreviewPane::InfoText() const { return info_->text(); }
QImage PreviewPane::Picture() const { return picture_->image(); }
QSize PreviewPane::BoxSize() const { return picture_->size(); }

void PreviewPane::ShowPreview(const std::string& path) {
    wantedPath_ = path;
    if (path.empty() || !FileExists(path) || !jobGate_.IsOpen()) return;
    StartPreviewLoad(path);
}

void PreviewPane::DropUnlisted(const std::function<bool(const std::string&)>& listed) {
    if (!wantedPath_.empty() && !listed(wantedPath_)) wantedPath_.clear();
    if (previewPath_.empty() || listed(previewPath_)) return;
    previewPath_.clear();
    picture_->SetImage(Placeholder(palette()));
    info_->SetText(QString());
}

void PreviewPane::StartPreviewLoad(const std::string& path) {
    jobGate_.Close();
    WaitForLoad();
    picture_->SetImage(QImage());
    const QSize box = picture_->size();
    previewPath_ = path;
    delivered_ = false;
    loader_ = std::thread([this, path, box, upright = upright_(), started = loadStarted_] {
        if (started) started(path);
        PreviewResult result = LoadPreview(path, box, upright);
        // Delivered on the window's thread; dropped if the pane is gone by then.
        QMetaObject::invokeMethod(
            this, [this, result, path] { ShowResult(result, path); }, Qt::QueuedConnection);
    });
}

void PreviewPane::ShowResult(const PreviewResult& result, const std::string& path) {
    delivered_ = true;
    if (path == previewPath_) {
        picture_->SetImage(result.image);
        info_->SetText(result.message.isEmpty() ? PreviewInfoText(path, result.sourceWidth, result.sourceHeight)
                                                : result.message);
    }
    idleTimer_.start();
    emit PreviewShown();
}

void PreviewPane::Reload() {
    if (previewPath_.empty() || !FileExists(previewPath_)) return;
    if (jobGate_.IsOpen()) StartPreviewLoad(previewPath_);
    else reloadWanted_ = true;
}

void PreviewPane::IdleTick() {
    jobGate_.Open();
    if (std::exchange(reloadWanted_, false) && (wantedPath_.empty() || wantedPath_ == previewPath_) &&
        !previewPath_.empty() && FileExists(previewPath_)) {
        StartPreviewLoad(previewPath_);
        return;
    }
    // The selection moved on while the last load ran.
    if (!wantedPath_.empty() && wantedPath_ != previewPath_ && FileExists(wantedPath_) && jobGate_.IsOpen())
        StartPreviewLoad(wantedPath_);
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // A run of resizes reloads the preview once, a second after it began.
    const qint64 now = clock_.elapsed();
    if (now - lastResizeTick_ > 100) {
        lastResizeTick_ = now;
        if (!resizeTimer_.isActive()) resizeTimer_.start();
    }
}

void PreviewPane::ResizeTick() {
    const QSize size = picture_->size();
    if (size != previewBoxSize_ && hasRows_() && !previewPath_.empty() && FileExists(previewPath_) && jobGate_.IsOpen())
        StartPreviewLoad(previewPath_);
    previewBoxSize_ = size;
}

}  // namespace zelvan
