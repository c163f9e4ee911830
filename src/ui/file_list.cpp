#include "ui/file_list.h"

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QStyle>
#include <QStandardPaths>
#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <QSet>
#include <QTimer>
#include <algorithm>
#include <exception>

#include "base/file_io.h"
#include "base/path_util.h"
#include "engine/extensions.h"
#include "jobs/folder_scan.h"
#include "jobs/language.h"
#include "ui/image_size.h"

namespace zelvan {

// One row: the texts shown, the path as bytes, and the sort keys worked out once when the row
// is made, so that sorting 10,000 rows compares numbers and prepared texts only.
class FileListItem : public QTreeWidgetItem {
public:
    FileListItem() : QTreeWidgetItem(UserType) {}

    bool operator<(const QTreeWidgetItem& other) const override {
        const auto* list = static_cast<const FileListView*>(treeWidget());
        return list->Less(*this, static_cast<const FileListItem&>(other));
    }

    std::string fullPath;
    QString folder;     // the Path text, for the folder order kept on addition
    QString folderKey;  // upper-cased texts for the column sorts
    QString nameKey;
    QString typeKey;
    qint64 sizeKiB = 0;
    qint64 pixelArea = 1;

    // The folder and the name whole on hover, however narrow their columns have become.
    QVariant data(int column, int role) const override {
        if (role == Qt::ToolTipRole && (column == FileListView::PathColumn || column == FileListView::NameColumn))
            return text(column);
        return QTreeWidgetItem::data(column, role);
    }
};

namespace {

// The sort mode that keeps the rows in folder order, next to the five column modes.
constexpr int kFolderOrder = -1;

// Widest the narrow columns get, in pixels at 96 dots per inch (they never get narrower than
// their caption).
constexpr int kTypeColumnMax = 40;
constexpr int kSizeColumnMax = 80;
constexpr int kImageSizeColumnMax = 85;

// How often a scan puts the rows it has read into the tree.
constexpr qint64 kRowFlushMilliseconds = 250;

int CompareFolders(const QString& a, const QString& b) {
    if (a == b) return 0;
    return QString::localeAwareCompare(a, b);
}

const FileListItem* ItemOf(const QTreeWidgetItem* item) {
    return item && item->type() == QTreeWidgetItem::UserType ? static_cast<const FileListItem*>(item) : nullptr;
}

// Where a dialog opens when none was used yet: the user's pictures folder, else home (never the
// working folder, which is the program's own when started from a menu).
QString FirstDialogFolder() {
    const QString pictures = QStandardPaths::writableLocation(QStandardPaths::PicturesLocation);
    if (!pictures.isEmpty() && QFileInfo(pictures).isDir()) return pictures;
    return QDir::homePath();
}

QString DialogFolder(const std::string& remembered) {
    return remembered.empty() ? FirstDialogFolder() : QFile::decodeName(remembered.c_str());
}

QString PatternsOf(std::string_view extensionWithDot) {
    const QString lower = QString::fromUtf8(extensionWithDot.data(), qsizetype(extensionWithDot.size())).toLower();
    return "*" + lower + " *" + lower.toUpper();
}

}  // namespace

// Rows added while a batch is open do not each rebuild the caption and the command states;
// closing the outermost batch does it once.
class FileListView::Batch {
public:
    explicit Batch(FileListView* view) : view_(view) { ++view->batchDepth_; }
    ~Batch() {
        if (!view_) return;  // the window went away while the scan kept it alive
        if (--view_->batchDepth_ == 0) view_->ListChanged();
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

private:
    QPointer<FileListView> view_;
};

FileListView::FileListView(QWidget* parent)
    : QTreeWidget(parent),
      openFilesDialog_([](QWidget* owner, const QString& title, const QString& folder, const QString& filter) {
          return QFileDialog::getOpenFileNames(owner, title, folder, filter);
      }),
      folderDialog_([](QWidget* owner, const QString& title, const QString& folder) {
          return QFileDialog::getExistingDirectory(owner, title, folder, QFileDialog::ShowDirsOnly);
      }),
      messageBox_(ShowMessageBox) {
    setObjectName("FileListView");
    setColumnCount(ColumnCount);
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    setSortingEnabled(false);
    // Drops belong to the main window, which refuses them during a scan.
    setAcceptDrops(false);
    viewport()->setAcceptDrops(false);

    setHeaderLabels({"Path", "Name", "Type", "Size", "Image size"});
    headerItem()->setTextAlignment(TypeColumn, Qt::AlignCenter);
    headerItem()->setTextAlignment(SizeColumn, Qt::AlignCenter);
    header()->setSectionsClickable(true);
    // The arrow is set by the list's own sort (the view's sorting stays off).
    header()->setSortIndicatorShown(true);
    header()->setSortIndicator(-1, Qt::AscendingOrder);
    header()->setSectionsMovable(false);
    header()->setStretchLastSection(false);
    header()->setMinimumSectionSize(16);
    // Long names lose their middle: the start and the extension say the most; a folder keeps
    // its root and its innermost folder.
    setTextElideMode(Qt::ElideMiddle);
    connect(header(), &QHeaderView::sectionClicked, this, &FileListView::onHeaderClicked);

    // The set of listed paths follows the model, whoever adds or removes rows.
    connect(model(), &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex& parentIndex, int first, int last) {
        if (parentIndex.isValid()) return;
        for (int row = first; row <= last; ++row)
            if (const FileListItem* item = ItemOf(topLevelItem(row))) listed_.insert(item->fullPath);
    });
    connect(model(), &QAbstractItemModel::rowsAboutToBeRemoved, this,
            [this](const QModelIndex& parentIndex, int first, int last) {
                if (parentIndex.isValid()) return;
                for (int row = first; row <= last; ++row)
                    if (const FileListItem* item = ItemOf(topLevelItem(row))) listed_.erase(item->fullPath);
            });
    connect(model(), &QAbstractItemModel::modelReset, this, [this] {
        listed_.clear();
        for (int row = 0; row < topLevelItemCount(); ++row)
            if (const FileListItem* item = ItemOf(topLevelItem(row))) listed_.insert(item->fullPath);
    });
    connect(this, &QTreeWidget::itemSelectionChanged, this, [this] {
        UpdateControlStates();
        if (!addingFiles_) emit CurrentPathChanged(FirstSelectedPath());
    });

    // The popup menu: select all, add files, add folder, delete selected, clear. Its items are
    // named as lang.ini knows them, and Delete and Ctrl+S act while the list has the focus.
    auto makeAction = [this](const char* name, const QString& text) {
        auto* action = new QAction(text, this);
        action->setObjectName(name);
        action->setShortcutContext(Qt::WidgetShortcut);
        addAction(action);
        return action;
    };
    auto makeSeparator = [this](const char* name) {
        auto* separator = new QAction(this);
        separator->setObjectName(name);
        separator->setSeparator(true);
        addAction(separator);
    };
    selectAllAction_ = makeAction("N14", QStringLiteral("Выделить все"));
    selectAllAction_->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    makeSeparator("N12");
    addFilesAction_ = makeAction("N5", QStringLiteral("Добавить файлы..."));
    addFolderAction_ = makeAction("N6", QStringLiteral("Добавить папку..."));
    makeSeparator("N7");
    deleteSelectedAction_ = makeAction("N12546", QStringLiteral("Удалить выбранное"));
    deleteSelectedAction_->setShortcut(QKeySequence(Qt::Key_Delete));
    clearListAction_ = makeAction("N8", QStringLiteral("Очистить список"));
    setContextMenuPolicy(Qt::ActionsContextMenu);

    connect(selectAllAction_, &QAction::triggered, this, [this] { selectAll(); });
    connect(addFilesAction_, &QAction::triggered, this, &FileListView::AddFilesDialog);
    connect(addFolderAction_, &QAction::triggered, this, &FileListView::AddFolderDialog);
    connect(deleteSelectedAction_, &QAction::triggered, this, &FileListView::DeleteSelected);
    connect(clearListAction_, &QAction::triggered, this, &FileListView::ClearList);

    RefreshNameCaption();
    UpdateControlStates();
    FitColumns();
}

FileListView::~FileListView() {
    // The tree's own destructor removes the rows after this object's members are gone: the
    // handlers that keep them must not run then.
    model()->disconnect(this);
    disconnect(this, nullptr, this, nullptr);
    for (FileListItem* item : pending_) delete item;
}

void FileListView::ApplyLanguage(const LanguageFile& texts) {
    texts_ = &texts;
    ApplyColumnCaptions();
    for (int row = 0; row < topLevelItemCount(); ++row)
        if (auto* item = static_cast<FileListItem*>(topLevelItem(row)); item->type() == QTreeWidgetItem::UserType)
            item->setText(SizeColumn, SizeColumnText(item->sizeKiB));
}

QString FileListView::SizeColumnText(qint64 kib) const {
    const QString unit = texts_ ? Text("KiB") : QStringLiteral("KiB");
    return QString::number(kib) + " " + unit;
}

void FileListView::Inform(const char* captionKey, const char* textKey) {
    messageBox_(this, QMessageBox::Information, Text(captionKey), Text(textKey), QMessageBox::Ok);
}

QString FileListView::Text(const char* key) const {
    return texts_ ? QString::fromStdString(texts_->LookupText(key)) : QString::fromLatin1(key);
}

// ---- Rows ----

bool FileListView::AddFileToList(const std::string& path) {
    // Only regular files are listed: measuring or previewing a pipe would block the window.
    if (pendingPaths_.contains(path) || FindListRow(path) >= 0 || !IsRegularFile(path)) return false;

    auto* item = new FileListItem;
    item->fullPath = path;
    const std::string folder = ExtractFilePath(path);
    const std::string name = ExtractFileName(path);
    const std::string extension = ExtractFileExt(name);
    item->folder = QString::fromUtf8(folder.data(), qsizetype(folder.size()));
    const QString nameText = QString::fromUtf8(name.data(), qsizetype(name.size()));
    const QString typeText = extension.empty() ? QString() : QString::fromUtf8(extension.data() + 1).toUpper();
    // A file that cannot be opened counts -1 bytes, shown as 0 KiB.
    item->sizeKiB = FileSizeOf(path) / 1024;
    const QString sizeText = QString::fromStdString(ImageSizeText(path));
    const std::pair<int, int> pixels = ParseSizeText(sizeText);

    item->setText(PathColumn, item->folder);
    item->setText(NameColumn, nameText);
    item->setText(TypeColumn, typeText);
    item->setText(SizeColumn, SizeColumnText(item->sizeKiB));
    item->setText(ImageSizeColumn, sizeText);
    item->setTextAlignment(TypeColumn, Qt::AlignCenter);
    item->setTextAlignment(SizeColumn, Qt::AlignCenter);
    item->setIcon(PathColumn, IconForExtension(ToLowerAscii(extension)));
    item->folderKey = item->folder.toUpper();
    item->nameKey = nameText.toUpper();
    item->typeKey = typeText;
    // A size that is not known (RAW files show "0x0", failures "Error") ranks as 1 pixel.
    item->pixelArea = pixels.first > 0 && pixels.second > 0 ? qint64{pixels.first} * pixels.second : 1;

    if (scanDepth_ > 0) {
        pending_.push_back(item);
        pendingPaths_.insert(path);
        return true;
    }
    InsertInFolderOrder(item);
    if (batchDepth_ == 0) ListChanged();
    return true;
}

void FileListView::FlushPendingRows() {
    std::vector<FileListItem*> rows;
    rows.swap(pending_);
    pendingPaths_.clear();
    for (FileListItem* item : rows) InsertInFolderOrder(item);
    sinceFlush_.restart();
}

void FileListView::InsertInFolderOrder(FileListItem* item) {
    // A column sort holds only until the next addition: the rows go back to folder order first.
    if (!inFolderOrder_) {
        SortBy(kFolderOrder, Qt::AscendingOrder);
        inFolderOrder_ = true;
        header()->setSortIndicator(-1, Qt::AscendingOrder);
    }
    // After the last row of an equal folder, so that a folder's files keep the scan's order.
    const int count = topLevelItemCount();
    auto folderAt = [this](int row) -> const QString& {
        static const QString none;
        const FileListItem* at = ItemOf(topLevelItem(row));
        return at ? at->folder : none;
    };
    if (count == 0 || CompareFolders(folderAt(count - 1), item->folder) <= 0) {
        addTopLevelItem(item);
        return;
    }
    int low = 0;
    int high = count;
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (CompareFolders(item->folder, folderAt(middle)) < 0) high = middle;
        else low = middle + 1;
    }
    insertTopLevelItem(low, item);
}

int FileListView::FindListRow(const std::string& path) const {
    if (!listed_.contains(path)) return -1;
    for (int row = 0; row < topLevelItemCount(); ++row)
        if (const FileListItem* item = ItemOf(topLevelItem(row)); item && item->fullPath == path) return row;
    return -1;
}

int FileListView::RowCount() const { return topLevelItemCount() + int(pending_.size()); }

std::string FileListView::PathOfRow(int row) const {
    const FileListItem* item = ItemOf(topLevelItem(row));
    return item ? item->fullPath : std::string();
}

std::vector<std::string> FileListView::FullPaths() const {
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(topLevelItemCount()));
    for (int row = 0; row < topLevelItemCount(); ++row)
        if (const FileListItem* item = ItemOf(topLevelItem(row))) paths.push_back(item->fullPath);
    return paths;
}

std::string FileListView::FirstSelectedPath() const {
    int first = -1;
    for (const QModelIndex& index : selectionModel()->selectedRows())
        if (!index.parent().isValid() && (first < 0 || index.row() < first)) first = index.row();
    return first < 0 ? std::string() : PathOfRow(first);
}

void FileListView::DeleteSelected() {
    const QList<QTreeWidgetItem*> selected = selectedItems();
    if (selected.size() == topLevelItemCount() && !selected.isEmpty()) {
        clear();
    } else if (selected.size() == 1) {
        // Taken out first: the listed paths learn of the removal while the row is still whole,
        // not from inside its destructor.
        delete takeTopLevelItem(indexOfTopLevelItem(selected.front()));
    } else if (!selected.isEmpty()) {
        // Taking every row out and putting the kept ones back is linear; deleting many rows
        // one by one is not.
        // (An item taken out of the tree no longer knows it was selected.)
        const QSet<QTreeWidgetItem*> doomed(selected.begin(), selected.end());
        QList<QTreeWidgetItem*> all = invisibleRootItem()->takeChildren();
        QList<QTreeWidgetItem*> kept;
        kept.reserve(all.size() - selected.size());
        for (QTreeWidgetItem* item : all) {
            if (doomed.contains(item)) delete item;
            else kept.push_back(item);
        }
        addTopLevelItems(kept);
    }
    ListChanged();
}

void FileListView::ClearList() {
    if (topLevelItemCount() == 0) {
        Inform("Error", "FilelistEmpty");
    } else if (messageBox_(this, QMessageBox::Warning, Text("Confirmation"), Text("ClearFilelist"),
                           QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes) {
        clear();
    }
    ListChanged();
}

void FileListView::ListChanged() {
    UpdateControlStates();
    emit RowsChanged();
    ScheduleColumnFit();
}

void FileListView::SelectFirstRow() {
    if (topLevelItemCount() == 0) return;
    setCurrentItem(topLevelItem(0));
    scrollToTop();
}

// ---- Sorting ----

bool FileListView::Less(const FileListItem& a, const FileListItem& b) const {
    switch (sortMode_) {
        case PathColumn: return a.folderKey < b.folderKey;
        case NameColumn: return a.nameKey < b.nameKey;
        case TypeColumn: return a.typeKey < b.typeKey;
        case SizeColumn: return a.sizeKiB < b.sizeKiB;
        case ImageSizeColumn: return a.pixelArea < b.pixelArea;
        default: return CompareFolders(a.folder, b.folder) < 0;
    }
}

void FileListView::SortBy(int mode, Qt::SortOrder order) {
    sortMode_ = mode;
    // Qt's sort is stable and moves the selection with the rows.
    sortItems(mode == kFolderOrder ? PathColumn : mode, order);
}

void FileListView::onHeaderClicked(int column) {
    if (column < 0 || column >= ColumnCount) return;
    sortDirection_ = -sortDirection_;
    const Qt::SortOrder order = sortDirection_ > 0 ? Qt::AscendingOrder : Qt::DescendingOrder;
    SortBy(column, order);
    inFolderOrder_ = false;
    header()->setSortIndicator(column, order);
}

// ---- Adding files and folders ----

QString FileListView::DialogFilter() {
    QStringList all;
    auto addOnce = [&all](const QString& patterns) {
        for (const QString& pattern : patterns.split(' '))
            if (!all.contains(pattern)) all.push_back(pattern);
    };
    // The extensions a dropped or scanned file is accepted by, the common picture types first:
    // the dialog shows the start of this list.
    for (const bool raw : {false, true})
        for (const std::string& extension : AcceptedExtensions())
            if (IsRawExtension(extension) == raw) addOnce(PatternsOf(extension));
    QStringList entries;
    for (std::string_view extension : ReaderExtensions()) {
        const std::string dotted = "." + std::string(extension);
        entries.push_back(QString::fromStdString(ToUpperAscii(dotted)) + " (" + PatternsOf(dotted) + ")");
    }
    entries.push_front("All (" + all.join(' ') + ")");
    return entries.join(";;");
}

void FileListView::AddFilesDialog() {
    const QStringList files =
        openFilesDialog_(this, openDialogTitle_, DialogFolder(lastFilesFolder_), DialogFilter());
    if (files.isEmpty()) return;
    lastFilesFolder_ = ExtractFilePath(QFile::encodeName(files.front()).toStdString());
    {
        Batch batch(this);
        for (const QString& file : files) AddFileToList(QFile::encodeName(file).toStdString());
    }
    SelectFirstRow();
}

void FileListView::AddFolderDialog() {
    if (folderScanActive_) return;
    const QString folder = folderDialog_(this, Text("AddDir"), DialogFolder(lastAddedFolder_));
    if (folder.isEmpty()) return;
    lastAddedFolder_ = QFile::encodeName(folder).toStdString();
    AddFolderTree(QFile::encodeName(folder).toStdString());
}

void FileListView::BeginAdding(bool showIndicator) {
    if (showIndicator) {
        scanCancelled_ = false;
        addingFiles_ = true;
        folderScanActive_ = true;
        emit AddingChanged(true);
    }
    UpdateControlStates();
}

void FileListView::EndAdding(bool showIndicator) {
    if (showIndicator) addingFiles_ = false;
    SelectFirstRow();
    if (showIndicator) {
        emit AddingChanged(false);
        folderScanActive_ = false;
    }
    UpdateControlStates();
}

// Scans one folder tree into the list. The scan lets the window process its events, and the
// window may close meanwhile: once the list is gone nothing touches it again, and callers
// check for that before they go on.
void FileListView::ScanTree(const std::string& folder) {
    QPointer<FileListView> alive(this);
    FolderScanCallbacks callbacks;
    callbacks.addFile = [&](const std::string& path) {
        if (!alive) throw ScanStopped{};
        AddFileToList(path);
        return !scanCancelled_;
    };
    // The window stays alive every 21 files and after each folder; a cancel seen then stops the
    // scan even in a tree that holds no images at all.
    callbacks.keepAlive = [&] {
        if (!alive) throw ScanStopped{};
        if (sinceFlush_.elapsed() >= kRowFlushMilliseconds) FlushPendingRows();
        RefreshNameCaption();
        emit RowsChanged();
        QCoreApplication::processEvents();
        if (!alive || scanCancelled_) throw ScanStopped{};
    };
    if (scanDepth_++ == 0) sinceFlush_.start();
    try {
        ScanFolder(folder, callbacks);
    } catch (const ScanStopped&) {
    } catch (const std::exception&) {
        // A failure inside a scan ends that scan quietly; the rows added stay.
    }
    if (!alive) return;
    if (--scanDepth_ == 0) FlushPendingRows();
}

void FileListView::AddFolderTree(const std::string& folder) {
    if (folderScanActive_) return;
    QPointer<FileListView> alive(this);
    BeginAdding(true);
    {
        Batch batch(this);
        ScanTree(folder);
        if (!alive) return;
    }
    EndAdding(true);
}

void FileListView::AddPaths(const std::vector<std::string>& paths) {
    if (folderScanActive_) return;
    QPointer<FileListView> alive(this);
    BeginAdding(true);
    {
        Batch batch(this);
        for (const std::string& path : paths) {
            if (scanCancelled_) break;
            // A folder is scanned even when its name ends like an image file's.
            if (DirectoryExists(path)) ScanTree(path);
            else if (IsAcceptedExtension(ExtractFileExt(path))) AddFileToList(path);
            if (!alive) return;
        }
    }
    EndAdding(true);
}

void FileListView::AddPaths(const QStringList& paths) {
    std::vector<std::string> bytes;
    bytes.reserve(static_cast<std::size_t>(paths.size()));
    for (const QString& path : paths) bytes.push_back(QFile::encodeName(path).toStdString());
    AddPaths(bytes);
}

void FileListView::AddCommandLinePaths(const std::vector<std::string>& paths) {
    QPointer<FileListView> alive(this);
    {
        Batch batch(this);
        for (const std::string& path : paths) {
            if (DirectoryExists(path)) ScanTree(path);
            else if (IsAcceptedExtension(ExtractFileExt(path))) AddFileToList(path);
            if (!alive) return;
        }
    }
    SelectFirstRow();
}

bool FileListView::event(QEvent* event) {
    if (event->type() == QEvent::ShortcutOverride && static_cast<QKeyEvent*>(event)->matches(QKeySequence::SelectAll)) {
        event->accept();
        return true;
    }
    return QTreeWidget::event(event);
}

void FileListView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        scanCancelled_ = true;
        Inform("Information", "Cancelled!");
        return;
    }
    QTreeWidget::keyPressEvent(event);
}

// ---- Captions, columns, icons, command states ----

void FileListView::SetNameColumnCaption(const QString& caption) {
    nameColumnCaption_ = caption;
    RefreshNameCaption();
}

void FileListView::SetColumnCaptions(const QStringList& captions) {
    for (int column = 0; column < ColumnCount && column < captions.size(); ++column)
        if (column != NameColumn) headerItem()->setText(column, captions[column]);
    if (captions.size() > NameColumn) SetNameColumnCaption(captions[NameColumn]);
    ScheduleColumnFit();
}

void FileListView::ApplyColumnCaptions() {
    SetColumnCaptions({Text("PathColumn"), Text("NameColumn"), Text("TypeColumn"), Text("SizeColumn"),
                       Text("ImgSizeColumn")});
}

void FileListView::RefreshNameCaption() {
    const qsizetype rows = topLevelItemCount() + qsizetype(pending_.size());
    headerItem()->setText(NameColumn, nameColumnCaption_ + " (" + QString::number(rows) + ")");
}

void FileListView::ScheduleColumnFit() {
    if (fitPending_) return;
    fitPending_ = true;
    QTimer::singleShot(0, this, [this] {
        fitPending_ = false;
        FitColumns();
    });
}

void FileListView::FitColumns() {
    const QFontMetrics metrics = header()->fontMetrics();
    const double scale = logicalDpiX() / 96.0;
    // Room for the caption and its margins (the sort arrow goes above it).
    const int margin = style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, header());
    auto captionWidth = [&](int column) {
        return metrics.horizontalAdvance(headerItem()->text(column)) + 2 * margin + 6;
    };
    auto contentsWidth = [&](int column) { return std::max(sizeHintForColumn(column), captionWidth(column)); };

    int narrowTotal = 0;
    const std::pair<int, int> narrow[] = {{TypeColumn, kTypeColumnMax}, {SizeColumn, kSizeColumnMax},
                                          {ImageSizeColumn, kImageSizeColumnMax}};
    for (auto [column, widest] : narrow) {
        const int width = std::max(std::min(sizeHintForColumn(column), int(widest * scale)), captionWidth(column));
        header()->resizeSection(column, width);
        narrowTotal += width;
    }
    // Name and folder share the rest. The name comes first, whole where the room allows, but the
    // folder keeps a quarter of the room (or its caption, or all it needs if less) so that its
    // ends stay readable; the folder takes whatever is left.
    const int room = std::max(0, viewport()->width() - narrowTotal);
    const int folderLeast = std::min({contentsWidth(PathColumn), std::max(captionWidth(PathColumn), room / 4), room / 2});
    const int name = std::min(contentsWidth(NameColumn), room - folderLeast);
    const int folder = room - name;
    header()->resizeSection(NameColumn, name);
    header()->resizeSection(PathColumn, folder);
}

void FileListView::resizeEvent(QResizeEvent* event) {
    QTreeWidget::resizeEvent(event);
    ScheduleColumnFit();
}

QIcon FileListView::IconForExtension(const std::string& extension) {
    const QString key = QString::fromUtf8(extension.data(), qsizetype(extension.size()));
    if (auto found = icons_.constFind(key); found != icons_.constEnd()) return *found;
    static const QMimeDatabase mimeTypes;
    // Outside a desktop session Qt knows no icon theme but the bare "hicolor", which has no
    // file-type icons; the common Adwaita theme then stands in where it is installed.
    static const bool fallbackChosen = [] {
        if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
            if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
                QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
        return true;
    }();
    (void)fallbackChosen;
    // Only the name counts: no file is touched.
    const QMimeType mime = mimeTypes.mimeTypeForFile("file" + key, QMimeDatabase::MatchExtension);
    QIcon icon = QIcon::fromTheme(mime.iconName());
    if (icon.isNull()) icon = QIcon::fromTheme(mime.genericIconName());
    if (icon.isNull()) icon = QFileIconProvider().icon(QAbstractFileIconProvider::File);
    icons_.insert(key, icon);
    return icon;
}

void FileListView::UpdateControlStates() {
    const bool rows = topLevelItemCount() > 0;
    FileListControlStates states;
    states.addFolder = !folderScanActive_;
    states.convertTool = rows;
    states.clearList = rows;
    states.selectAll = rows;
    states.convertButton = rows && !folderScanActive_;
    states.deleteSelected = rows && selectionModel()->hasSelection();
    addFolderAction_->setEnabled(states.addFolder);
    clearListAction_->setEnabled(states.clearList);
    selectAllAction_->setEnabled(states.selectAll);
    deleteSelectedAction_->setEnabled(states.deleteSelected);
    RefreshNameCaption();
    states_ = states;
    emit ControlStatesChanged(states);
}

std::vector<std::string> LocalPathsOfUrls(const QList<QUrl>& urls) {
    std::vector<std::string> paths;
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        // The encoded path keeps every byte of the name, valid UTF-8 or not.
        const QByteArray bytes = QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toLatin1());
        if (!bytes.isEmpty()) paths.push_back(bytes.toStdString());
    }
    return paths;
}

}  // namespace zelvan
