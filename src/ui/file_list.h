#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTreeWidget>
#include <QUrl>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "ui/message_box.h"

class QAction;

namespace zelvan {

class LanguageFile;
class FileListItem;

// Which commands the list's state allows; the main window enables its own tool-bar buttons,
// menu items and Convert button from it.
struct FileListControlStates {
    bool addFolder = true;        // add folder (menu items, tool button): not while a scan or drop runs
    bool convertTool = false;     // the Convert tool button: the list has rows
    bool clearList = false;       // the list's "clear": the list has rows
    bool selectAll = false;       // the list's "select all": the list has rows
    bool convertButton = false;   // the Convert button: the list has rows and no scan or drop runs
    bool deleteSelected = false;  // delete selected (menu item, tool button): a row is selected
    friend bool operator==(const FileListControlStates&, const FileListControlStates&) = default;
};

// The list of source images of the next run: one row per file with its folder, name, type,
// size and pixel size. Rows keep their full path as bytes, so a file whose name is not valid
// UTF-8 is listed (with a lossy display text) and converted all the same. The rows stay
// ordered by folder after every addition; a click on a column header sorts by that column until
// the next addition.
class FileListView : public QTreeWidget {
    Q_OBJECT
public:
    enum Column { PathColumn = 0, NameColumn, TypeColumn, SizeColumn, ImageSizeColumn, ColumnCount };

    explicit FileListView(QWidget* parent = nullptr);
    ~FileListView() override;

    // Keeps the language file for the column captions and message texts (the main window's,
    // which outlives the list; without one the keys themselves are shown) and applies the
    // column captions.
    void ApplyLanguage(const LanguageFile& texts);

    // The dialogs and message boxes the list opens: Qt's by default; tests answer instead.
    // The files chosen in the add-files dialog, which opens in `folder`; empty when cancelled.
    using OpenFilesDialog = std::function<QStringList(QWidget* owner, const QString& title, const QString& folder,
                                                      const QString& filter)>;
    // The folder chosen for "add folder", the dialog opening at `folder`; empty when cancelled.
    using FolderDialog = std::function<QString(QWidget* owner, const QString& title, const QString& folder)>;
    void SetOpenFilesDialog(OpenFilesDialog dialog) { openFilesDialog_ = std::move(dialog); }
    void SetFolderDialog(FolderDialog dialog) { folderDialog_ = std::move(dialog); }
    void SetMessageBox(MessageBoxFunction show) { messageBox_ = std::move(show); }

    // Where the add-files and add-folder dialogs open: the folder of the files added last, the
    // folder added last (both kept in the settings). Empty: the dialog's own choice.
    const std::string& LastFilesFolder() const { return lastFilesFolder_; }
    const std::string& LastAddedFolder() const { return lastAddedFolder_; }
    void SetLastFolders(std::string filesFolder, std::string addedFolder) {
        lastFilesFolder_ = std::move(filesFolder);
        lastAddedFolder_ = std::move(addedFolder);
    }
    // Appends one row unless the file is listed already or does not exist; false then.
    bool AddFileToList(const std::string& path);
    // The row of a full path (compared exactly, letter case included), or -1.
    int FindListRow(const std::string& path) const;
    // The rows, counting those a running scan has read and not yet shown.
    int RowCount() const;
    // Every row's full path (folder + name), in display order: what a run queues.
    std::vector<std::string> FullPaths() const;
    // The full path of the first selected row in display order; empty when none is selected.
    std::string FirstSelectedPath() const;
    std::string PathOfRow(int row) const;

    // Dropped files and folders: files with an accepted extension are added, folders scanned,
    // with the adding indicator on; row 0 is selected at the end. Escape or ScanCancelled
    // stops it at the next check.
    void AddPaths(const std::vector<std::string>& paths);
    void AddPaths(const QStringList& paths);
    // The command line at start-up: like a drop, but without the adding indicator and without
    // touching the scan flags.
    void AddCommandLinePaths(const std::vector<std::string>& paths);
    // Scans one folder tree with the adding indicator on, as "add folder" does after its dialog.
    void AddFolderTree(const std::string& folder);

    // Fits the columns into the list's width: the narrow columns as wide as their contents,
    // the name whole where the room allows, the folder the rest (cut in its middle).
    void FitColumns();

    // The Name column's caption before " (<rows>)", kept across language changes.
    void SetNameColumnCaption(const QString& caption);
    // The five column captions; the second becomes the Name caption.
    void SetColumnCaptions(const QStringList& captions);
    // Column captions from the language file: PathColumn, NameColumn, TypeColumn, SizeColumn,
    // ImgSizeColumn.
    void ApplyColumnCaptions();
    // The add-files dialog's title (the window text of OpenDialog).
    void SetOpenDialogTitle(const QString& title) { openDialogTitle_ = title; }
    const QString& OpenDialogTitle() const { return openDialogTitle_; }
    // The add-files dialog's filter: "All" with every accepted extension, then one entry per
    // reader extension. Patterns carry both letter cases, since file names are case-sensitive.
    static QString DialogFilter();

    // Set by Escape and by closing the window: a running scan or drop stops at its next check.
    bool ScanCancelled() const { return scanCancelled_; }
    void CancelScan() { scanCancelled_ = true; }
    // True while a scan or a drop adds rows; the preview waits meanwhile.
    bool AddingFiles() const { return addingFiles_; }
    // True while a scan or a drop runs: add folder, Convert and drops are refused.
    bool FolderScanActive() const { return folderScanActive_; }
    // +1 or -1: the direction of the last column sort, flipped by every header click; the
    // header's arrow shows it on the sorted column until the rows go back to folder order.
    int SortDirection() const { return sortDirection_; }
    FileListControlStates ControlStates() const { return states_; }
    // Whether a row lists this file.
    bool Lists(const std::string& path) const { return listed_.count(path) > 0; }

    // The list's popup-menu commands, for the main window's menu items and tool buttons.
    QAction* AddFilesAction() const { return addFilesAction_; }
    QAction* AddFolderAction() const { return addFolderAction_; }
    QAction* SelectAllAction() const { return selectAllAction_; }
    QAction* DeleteSelectedAction() const { return deleteSelectedAction_; }
    QAction* ClearListAction() const { return clearListAction_; }

    // The icon of files with this extension (with its dot), from the icon theme by MIME type;
    // cached per extension.
    QIcon IconForExtension(const std::string& extension);

public slots:
    void AddFilesDialog();
    void AddFolderDialog();
    void DeleteSelected();
    void ClearList();
    // A header click: the shared direction flips, then the rows are sorted by that column.
    void onHeaderClicked(int column);
    // Recomputes which commands are allowed and the Name caption; emits ControlStatesChanged.
    void UpdateControlStates();

signals:
    // Rows were added or removed.
    void RowsChanged();
    // The adding indicator at the bottom left goes on or off.
    void AddingChanged(bool adding);
    void ControlStatesChanged(const zelvan::FileListControlStates& states);
    // The list changed while no scan adds rows: the first selected row's full path, or empty.
    // The main window passes it to the preview.
    void CurrentPathChanged(const std::string& path);

protected:
    // Ctrl+A selects every row while the list has the focus (the menu's Ctrl+A adds files
    // elsewhere in the window).
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    friend class FileListItem;
    class Batch;
    struct ScanStopped {};

    QString Text(const char* key) const;
    void Inform(const char* captionKey, const char* textKey);
    void InsertInFolderOrder(FileListItem* item);
    void SortBy(int mode, Qt::SortOrder order);
    bool Less(const FileListItem& a, const FileListItem& b) const;
    void ScanTree(const std::string& folder);
    void BeginAdding(bool showIndicator);
    void EndAdding(bool showIndicator);
    void SelectFirstRow();
    void ListChanged();
    void ScheduleColumnFit();
    QString SizeColumnText(qint64 kib) const;
    void RefreshNameCaption();
    void FlushPendingRows();

    const LanguageFile* texts_ = nullptr;
    OpenFilesDialog openFilesDialog_;
    FolderDialog folderDialog_;
    MessageBoxFunction messageBox_;
    QString openDialogTitle_ = QStringLiteral("Добавить изображение...");
    QString nameColumnCaption_ = QStringLiteral("Name");
    std::unordered_set<std::string> listed_;
    // Rows a running scan has read but not yet put into the tree: they go in together a few
    // times a second, since each change of the tree costs the view a pass over every row at
    // the next event processing.
    std::vector<FileListItem*> pending_;
    std::unordered_set<std::string> pendingPaths_;
    int scanDepth_ = 0;
    QElapsedTimer sinceFlush_;
    QHash<QString, QIcon> icons_;
    FileListControlStates states_;
    bool scanCancelled_ = false;
    bool addingFiles_ = false;
    bool folderScanActive_ = false;
    int sortDirection_ = 1;
    int sortMode_ = -1;
    bool inFolderOrder_ = true;
    int batchDepth_ = 0;
    bool fitPending_ = false;
    std::string lastFilesFolder_;
    std::string lastAddedFolder_;

    QAction* addFilesAction_ = nullptr;
    QAction* addFolderAction_ = nullptr;
    QAction* selectAllAction_ = nullptr;
    QAction* deleteSelectedAction_ = nullptr;
    QAction* clearListAction_ = nullptr;
};

// The local paths of dropped URLs as bytes: percent-encoded bytes of names that are not valid
// UTF-8 are kept as they are. URLs that are not local files are left out.
std::vector<std::string> LocalPathsOfUrls(const QList<QUrl>& urls);

}  // namespace zelvan
