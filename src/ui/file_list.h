#pragma once

#include <QString>
#include <QTreeWidget>
#include <string>
#include <vector>

namespace zelvan {

// The list of source images of the next run: one row per file with its folder, name, type,
// size and pixel size.
class FileListView : public QTreeWidget {
    Q_OBJECT
public:
    explicit FileListView(QWidget* parent = nullptr);

    // Adds one file (its extension already accepted); false when it could not be added.
    bool AddFileToList(const std::string& path);
    int RowCount() const;
    // Every row's full path (folder + name), in display order: what a run queues.
    std::vector<std::string> FullPaths() const;
    // The full path of the current row; empty when there is none.
    std::string CurrentPath() const;

    // The Name column's caption before " (<rows>)".
    void SetNameColumnCaption(const QString& caption);
    void SetColumnCaptions(const QStringList& captions);

signals:
    // Rows were added or removed.
    void RowsChanged();
};

}  // namespace zelvan
