#include "ui/file_list.h"

#include <QFileInfo>

#include "base/file_io.h"
#include "base/path_util.h"

namespace zelvan {

FileListView::FileListView(QWidget* parent) : QTreeWidget(parent) {
    setObjectName("FileListView");
    setColumnCount(5);
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setHeaderLabels({"Path", "Name (0)", "Type", "Size", "Image size"});
}

bool FileListView::AddFileToList(const std::string& path) {
    const std::int64_t size = FileSizeOf(path);
    if (size < 0) return false;
    auto* item = new QTreeWidgetItem(this);
    item->setText(0, QString::fromStdString(ExtractFilePath(path)));
    item->setText(1, QString::fromStdString(ExtractFileName(path)));
    std::string ext = ExtractFileExt(path);
    if (!ext.empty()) ext.erase(0, 1);
    item->setText(2, QString::fromStdString(ToUpperAscii(ext)));
    item->setText(3, QString::number(size / 1024) + " KiB");
    emit RowsChanged();
    return true;
}

int FileListView::RowCount() const { return topLevelItemCount(); }

std::vector<std::string> FileListView::FullPaths() const {
    std::vector<std::string> paths;
    paths.reserve(static_cast<std::size_t>(topLevelItemCount()));
    for (int i = 0; i < topLevelItemCount(); ++i) {
        const QTreeWidgetItem* item = topLevelItem(i);
        paths.push_back((item->text(0) + item->text(1)).toStdString());
    }
    return paths;
}

std::string FileListView::CurrentPath() const {
    const QTreeWidgetItem* item = currentItem();
    return item ? (item->text(0) + item->text(1)).toStdString() : std::string();
}

void FileListView::SetNameColumnCaption(const QString&) {}
void FileListView::SetColumnCaptions(const QStringList&) {}

}  // namespace zelvan
