#pragma once

#include <QElapsedTimer>
#include <QImage>
#include <QSize>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "jobs/job_gate.h"

namespace zelvan {

// The size a w x h picture is shown at in a bw x bh box: unchanged when it fits (never
// enlarged), else scaled down keeping its proportions, the sizes truncated. A picture without
// a size fills the box.
QSize FitIntoBox(int w, int h, int bw, int bh);

// What one preview load delivers.
struct PreviewResult {
    QImage image;          // already scaled to fit the box; null for a message
    int sourceWidth = 0;   // the file's pixel size, as the picture is shown (upright or as stored)
    int sourceHeight = 0;
    QString message;       // set instead of the size line when there is no picture to show
};

// Loads the preview of one file into a box of the given size: Qt's readers with scaled
// decoding first (a large JPEG is decoded at a fraction of its size), the program's own
// readers with nearest-neighbour resampling where Qt cannot read the file. With `upright`, a
// picture is turned as its EXIF or TIFF orientation says, as the conversion turns it with
// Auto_rotate. RAW files, files of 49 bytes or less and files that cannot be opened give a
// message. Runs on the loader's thread.
PreviewResult LoadPreview(const std::string& path, QSize box, bool upright = false);

// The information line under a preview: the file name (cut to 50 characters and "..."), " - ",
// the source's width "x" height, and a blank.
QString PreviewInfoText(const std::string& path, int sourceWidth, int sourceHeight);

class PreviewPicture;
class PreviewInfoLine;

// The preview at the upper right of the main window: the picture area and the information line
// below it. One load runs at a time on a thread of its own; while it runs, and until the first
// tick after it has delivered its picture, the scheduler's gate is closed, so that no conversion
// job starts meanwhile. A request made during a load is served when the load ends.
class PreviewPane : public QWidget {
    Q_OBJECT
public:
    explicit PreviewPane(JobGate& jobGate, QWidget* parent = nullptr);
    ~PreviewPane() override;

    // Waits until a running load has ended (the window's close does this before it saves the
    // settings).
    void WaitForLoad();
    // Remembers the picture area's size, so that only a later change of it reloads the preview
    // (the end of the window's start-up).
    void RememberBoxSize();
    // Whether the list has rows: a resize reloads the last preview only then. True by default.
    void SetListHasRows(std::function<bool()> hasRows) { hasRows_ = std::move(hasRows); }
    // Whether pictures are shown upright by their orientation tag (asked at each load). False
    // by default.
    void SetUpright(std::function<bool()> upright) { upright_ = std::move(upright); }
    // Loads the shown file again (the way it is to be shown changed), now or once the running
    // load ends.
    void Reload();

    QString InfoText() const;
    // The picture shown; null when the area is empty.
    QImage Picture() const;
    // The size of the picture area, the box previews are fitted into.
    QSize BoxSize() const;
    // The file whose load was started last.
    const std::string& PreviewPath() const { return previewPath_; }
    bool Loading() const { return loader_.joinable() && !delivered_; }

    // Called on the loader's thread as each load starts, with the file's path: lets tests hold
    // a load back. Nothing by default.
    void SetLoadStarted(std::function<void(const std::string&)> started) { loadStarted_ = std::move(started); }

    // Rows left the list: a file no longer listed is neither loaded next nor shown any longer
    // (the empty picture area, no information line; a load still running for it is dropped
    // when it delivers).
    void DropUnlisted(const std::function<bool(const std::string&)>& listed);

public slots:
    // The selected row changed: the preview of this file, now or when the running load ends.
    // An empty path (no row selected) starts nothing.
    void ShowPreview(const std::string& path);

signals:
    // A load has delivered its picture or message.
    void PreviewShown();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void StartPreviewLoad(const std::string& path);
    void ShowResult(const PreviewResult& result, const std::string& path);
    void IdleTick();
    void ResizeTick();

    JobGate& jobGate_;
    PreviewPicture* picture_;
    PreviewInfoLine* info_;
    std::thread loader_;
    bool delivered_ = true;
    std::string previewPath_;
    std::string wantedPath_;
    std::function<bool()> hasRows_;
    std::function<bool()> upright_;
    bool reloadWanted_ = false;
    std::function<void(const std::string&)> loadStarted_;
    QSize previewBoxSize_;
    QElapsedTimer clock_;
    qint64 lastResizeTick_ = -1000000;
    QTimer idleTimer_;    // one tick after a load has delivered
    QTimer resizeTimer_;  // a second after the first of a run of resizes
};

}  // namespace zelvan
