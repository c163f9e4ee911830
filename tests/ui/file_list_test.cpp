#include "ui/file_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QCoreApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>

#include "engine/extensions.h"
#include "jobs/language.h"
#include "support/fixtures.h"
#include "support/test_support.h"
#include "ui/window_texts.h"

namespace zelvan {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

void WriteJunk(const std::string& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(bytes, 'z');
}

void WritePng(const std::string& path, int width, int height) {
    test::WritePngFile(path, width, height, test::PngKind::Rgb,
                       [](int x, int y) { return test::Rgba{std::uint8_t(x * 40), std::uint8_t(y * 40), 90}; });
}

// Records every value a signal carries.
template <typename Value, typename Signal>
std::shared_ptr<std::vector<Value>> Record(FileListView& list, Signal signal) {
    auto values = std::make_shared<std::vector<Value>>();
    QObject::connect(&list, signal, &list, [values](const Value& value) { values->push_back(value); });
    return values;
}

// The list with every dialog answered by the test: the messages shown are recorded.
struct ListFixture : ::testing::Test {
    FileListView list;
    std::vector<std::pair<QString, QString>> messages;
    bool answerYes = false;
    QStringList filesToOpen;
    QString folderToChoose;
    QStringList dialogFolders;  // where each dialog opened

    ListFixture() {
        list.SetOpenFilesDialog([this](QWidget*, const QString&, const QString& folder, const QString&) {
            dialogFolders << folder;
            return filesToOpen;
        });
        list.SetFolderDialog([this](QWidget*, const QString&, const QString& folder) {
            dialogFolders << folder;
            return folderToChoose;
        });
        list.SetMessageBox([this](QWidget*, QMessageBox::Icon icon, const QString& caption, const QString& text,
                                  QMessageBox::StandardButtons buttons) {
            messages.emplace_back(caption, text);
            // Questions come with the warning icon and Yes and No; messages with the information
            // icon and OK.
            const bool question = buttons == (QMessageBox::Yes | QMessageBox::No);
            EXPECT_EQ(icon, question ? QMessageBox::Warning : QMessageBox::Information);
            if (!question) return QMessageBox::Ok;
            return answerYes ? QMessageBox::Yes : QMessageBox::No;
        });
    }

    std::vector<std::string> Column(int column) const {
        std::vector<std::string> texts;
        for (int row = 0; row < list.topLevelItemCount(); ++row)
            texts.push_back(list.topLevelItem(row)->text(column).toStdString());
        return texts;
    }
    std::string NameCaption() const { return list.headerItem()->text(FileListView::NameColumn).toStdString(); }
};

TEST_F(ListFixture, FolderTreeAddsAcceptedFilesSkipsDotFoldersAndSurvivesLinkLoops) {
    TempDir dir;
    const std::string root = dir.path().string() + "/";
    fs::create_directories(root + "sub/deeper");
    fs::create_directories(root + ".git");
    WritePng(root + "a.png", 3, 2);
    WritePng(root + "sub/c.png", 5, 4);
    WritePng(root + "sub/deeper/d.png", 1, 1);
    WritePng(root + "sub/.dotted.png", 2, 2);  // a dot file is examined like any other
    WritePng(root + ".git/hidden.png", 2, 2);
    WriteJunk(root + "README", 10);
    WriteJunk(root + "notes.txt", 10);
    const std::string oddName = root + "caf\xE9-\xFF.png";  // Latin-1 bytes: not valid UTF-8
    WritePng(oddName, 6, 7);
    fs::create_directory_symlink(root, root + "sub/loop");

    const auto adding = Record<bool>(list, &FileListView::AddingChanged);
    bool statesDuringScan = false;
    QObject::connect(&list, &FileListView::RowsChanged, &list, [&] {
        if (list.AddingFiles()) statesDuringScan = !list.ControlStates().addFolder && !list.ControlStates().convertButton;
    });
    list.AddFolderTree(root);

    const std::vector<std::string> expected = {root + "a.png", oddName, root + "sub/.dotted.png", root + "sub/c.png",
                                               root + "sub/deeper/d.png"};
    std::vector<std::string> paths = list.FullPaths();
    EXPECT_EQ(std::set(paths.begin(), paths.end()), std::set(expected.begin(), expected.end()));
    // Folder order: the root's files before those of its subfolders.
    ASSERT_EQ(paths.size(), 5u);
    EXPECT_EQ(list.topLevelItem(0)->text(0).toStdString(), root);
    EXPECT_EQ(list.topLevelItem(4)->text(0).toStdString(), root + "sub/deeper/");
    EXPECT_EQ(NameCaption(), "Name (5)");

    // The odd name is listed with a readable text and converted under its own bytes.
    const int odd = list.FindListRow(oddName);
    ASSERT_GE(odd, 0);
    EXPECT_EQ(list.PathOfRow(odd), oddName);
    EXPECT_TRUE(list.topLevelItem(odd)->text(1).startsWith("caf"));
    EXPECT_EQ(list.topLevelItem(odd)->text(4), "6x7");

    EXPECT_EQ(*adding, (std::vector<bool>{true, false}));
    EXPECT_TRUE(statesDuringScan);
    EXPECT_FALSE(list.AddingFiles());
    EXPECT_FALSE(list.FolderScanActive());
    EXPECT_TRUE(list.ControlStates().convertButton);
    // Row 0 is selected at the end of the scan.
    EXPECT_EQ(list.FirstSelectedPath(), list.PathOfRow(0));
}

TEST_F(ListFixture, RowTextsAndTheChecksOfAddFileToList) {
    TempDir dir;
    const std::string root = dir.path().string() + "/";
    WriteJunk(root + "small.png", 1023);
    WriteJunk(root + "two.bmp", 2048);
    WritePng(root + "photo.JPEG", 4, 3);  // a PNG under a JPEG name: Qt reads it by its content
    WriteJunk(root + "camera.NEF", 5000);
    WritePng(root + "X.png", 2, 2);
    WritePng(root + "x.png", 2, 2);

    struct Row {
        const char* name;
        const char* type;
        const char* size;
        const char* pixels;
    };
    const Row rows[] = {
        {"small.png", "PNG", "0 KiB", "Error"},  {"two.bmp", "BMP", "2 KiB", "Error"},
        {"photo.JPEG", "JPEG", "0 KiB", "4x3"},  {"camera.NEF", "NEF", "4 KiB", "0x0"},
        {"X.png", "PNG", "0 KiB", "2x2"},        {"x.png", "PNG", "0 KiB", "2x2"},
    };
    for (const Row& row : rows) EXPECT_TRUE(list.AddFileToList(root + row.name)) << row.name;
    // Twice the same path, a missing file, a folder: nothing added.
    EXPECT_FALSE(list.AddFileToList(root + "x.png"));
    EXPECT_FALSE(list.AddFileToList(root + "missing.png"));
    EXPECT_FALSE(list.AddFileToList(root));
    ASSERT_EQ(list.RowCount(), 6);
    EXPECT_EQ(NameCaption(), "Name (6)");
    for (const Row& row : rows) {
        const int at = list.FindListRow(root + row.name);
        ASSERT_GE(at, 0) << row.name;
        const QTreeWidgetItem* item = list.topLevelItem(at);
        EXPECT_EQ(item->text(0).toStdString(), root);
        EXPECT_EQ(item->text(1).toStdString(), row.name);
        EXPECT_EQ(item->text(2).toStdString(), row.type) << row.name;
        EXPECT_EQ(item->text(3).toStdString(), row.size) << row.name;
        EXPECT_EQ(item->text(4).toStdString(), row.pixels) << row.name;
        EXPECT_FALSE(item->icon(0).isNull()) << row.name;
    }
}

// Five rows whose keys differ in every column, so that each column sort gives one order.
struct SortFixture : ListFixture {
    TempDir dir;
    std::string root = dir.path().string() + "/";
    SortFixture() {
        fs::create_directories(root + "b");
        fs::create_directories(root + "a");
        WritePng(root + "b/m.jpg", 2, 1);   // a PNG under a JPEG name, 2 pixels
        WriteJunk(root + "a/z.bmp", 3000);  // "Error": counts as 1, 2 KiB
        WritePng(root + "a/k.png", 30, 30); // 900 pixels
        WriteJunk(root + "b/c.nef", 9000);  // "0x0": counts as 1, 8 KiB
        WritePng(root + "b/a.gif", 3, 3);   // a PNG under a GIF name, 9 pixels
        for (const char* name : {"b/m.jpg", "a/z.bmp", "a/k.png", "b/c.nef", "b/a.gif"})
            EXPECT_TRUE(list.AddFileToList(root + name));
    }
    std::vector<std::string> Names() const { return Column(FileListView::NameColumn); }
};

TEST_F(SortFixture, EveryColumnSortsBothWaysWithOneSharedDirection) {
    // Additions keep folder order; names within a folder keep their order of addition.
    EXPECT_EQ(Names(), (std::vector<std::string>{"z.bmp", "k.png", "m.jpg", "c.nef", "a.gif"}));

    using Names_ = std::vector<std::string>;
    struct Case {
        int column;
        Names_ ascending;  // empty for the columns with equal keys, checked below
    };
    const Case cases[] = {
        {FileListView::PathColumn, {}},
        {FileListView::NameColumn, {"a.gif", "c.nef", "k.png", "m.jpg", "z.bmp"}},
        {FileListView::TypeColumn, {"z.bmp", "a.gif", "m.jpg", "c.nef", "k.png"}},
        {FileListView::SizeColumn, {}},
        {FileListView::ImageSizeColumn, {}},
    };
    for (const Case& c : cases) {
        // The first click of all sorts descending; every click flips the direction.
        const int before = list.SortDirection();
        list.onHeaderClicked(c.column);
        EXPECT_EQ(list.SortDirection(), -before);
        const Names_ first = Names();
        list.onHeaderClicked(c.column);
        const Names_ second = Names();
        const Names_& descending = before == 1 ? first : second;
        const Names_& ascending = before == 1 ? second : first;
        if (!c.ascending.empty()) {
            EXPECT_EQ(ascending, c.ascending) << "column " << c.column;
            EXPECT_EQ(descending, Names_(c.ascending.rbegin(), c.ascending.rend())) << "column " << c.column;
        }
    }

    // Size: 8 KiB, 2 KiB, then the three 0 KiB rows.
    ASSERT_EQ(list.SortDirection(), 1);
    list.onHeaderClicked(FileListView::SizeColumn);  // descending
    EXPECT_EQ(Names()[0], "c.nef");
    EXPECT_EQ(Names()[1], "z.bmp");

    // Image size ascending: "Error" and "0x0" count as 1 pixel, below 2x1, then 3x3, 30x30.
    list.onHeaderClicked(FileListView::ImageSizeColumn);  // ascending
    const Names_ byPixels = Names();
    EXPECT_EQ(std::set<std::string>(byPixels.begin(), byPixels.begin() + 2), (std::set<std::string>{"z.bmp", "c.nef"}));
    EXPECT_EQ(Names_(byPixels.begin() + 2, byPixels.end()), (Names_{"m.jpg", "a.gif", "k.png"}));

    // Path ascending puts folder a/ first.
    list.onHeaderClicked(FileListView::PathColumn);  // descending
    EXPECT_EQ(list.topLevelItem(0)->text(0).toStdString(), root + "b/");
    EXPECT_EQ(list.topLevelItem(4)->text(0).toStdString(), root + "a/");
}

TEST_F(SortFixture, AnAdditionAfterAColumnSortGoesBackToFolderOrder) {
    list.onHeaderClicked(FileListView::NameColumn);
    EXPECT_EQ(Names()[0], "z.bmp");
    WritePng(root + "a/new.png", 1, 1);
    ASSERT_TRUE(list.AddFileToList(root + "a/new.png"));
    const std::vector<std::string> folders = Column(FileListView::PathColumn);
    EXPECT_TRUE(std::is_sorted(folders.begin(), folders.end()));
    EXPECT_EQ(folders[0], root + "a/");
    EXPECT_EQ(folders[2], root + "a/");
    EXPECT_EQ(folders[3], root + "b/");
    EXPECT_EQ(list.FullPaths().size(), 6u);
}

TEST_F(SortFixture, DeleteSelectedAndClearWithItsQuestion) {
    list.topLevelItem(1)->setSelected(true);
    list.topLevelItem(3)->setSelected(true);
    EXPECT_TRUE(list.ControlStates().deleteSelected);
    int rowsChanged = 0;
    QObject::connect(&list, &FileListView::RowsChanged, &list, [&] { ++rowsChanged; });
    list.DeleteSelectedAction()->trigger();
    EXPECT_EQ(Names(), (std::vector<std::string>{"z.bmp", "m.jpg", "a.gif"}));
    EXPECT_EQ(NameCaption(), "Name (3)");
    EXPECT_GE(rowsChanged, 1);
    EXPECT_FALSE(list.ControlStates().deleteSelected);
    // A deleted file can be added again.
    EXPECT_TRUE(list.AddFileToList(root + "a/k.png"));
    EXPECT_EQ(list.RowCount(), 4);

    answerYes = false;
    list.ClearList();
    EXPECT_EQ(list.RowCount(), 4);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, "Confirmation");
    EXPECT_EQ(messages[0].second, "ClearFilelist");

    answerYes = true;
    list.ClearList();
    EXPECT_EQ(list.RowCount(), 0);
    EXPECT_EQ(NameCaption(), "Name (0)");
    EXPECT_FALSE(list.ControlStates().convertTool);
    EXPECT_FALSE(list.ClearListAction()->isEnabled());
    EXPECT_TRUE(list.AddFileToList(root + "b/m.jpg"));  // the cleared paths are free again

    list.clear();
    list.ClearList();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[2], std::make_pair(QString("Error"), QString("FilelistEmpty")));
}

TEST_F(ListFixture, EscapeCancelsAScanAndTheNextScanStartsAfresh) {
    TempDir dir;
    const std::string root = dir.path().string() + "/";
    for (int i = 0; i < 60; ++i) WritePng(root + "f" + std::to_string(100 + i) + ".png", 1, 1);

    // Escape arrives while the scan keeps the window alive after its 21st file.
    bool pressed = false;
    const QMetaObject::Connection watch = QObject::connect(&list, &FileListView::RowsChanged, &list, [&] {
        if (!pressed && list.AddingFiles() && NameCaption() == "Name (21)") {
            pressed = true;
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(&list, &escape);
        }
    });
    list.AddFolderTree(root);
    EXPECT_EQ(list.RowCount(), 21);
    EXPECT_TRUE(list.ScanCancelled());
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], std::make_pair(QString("Information"), QString("Cancelled!")));
    EXPECT_FALSE(list.FolderScanActive());

    // Escape with no scan running still says so; the next scan resets the flag.
    QObject::disconnect(watch);
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&list, &escape);
    EXPECT_EQ(messages.size(), 2u);
    list.AddFolderTree(root);
    EXPECT_EQ(list.RowCount(), 60);
}

TEST_F(ListFixture, DroppedNamesCommandLineAndTheDialogs) {
    TempDir dir;
    const std::string root = dir.path().string() + "/";
    fs::create_directories(root + "tree/inner");
    fs::create_directories(root + "folder.png");  // a folder named like an image is scanned
    WritePng(root + "one.png", 1, 1);
    WritePng(root + "tree/two.png", 1, 1);
    WritePng(root + "tree/inner/three.png", 1, 1);
    WritePng(root + "folder.png/four.png", 1, 1);
    WriteJunk(root + "README", 5);
    WriteJunk(root + "text.txt", 5);
    // Pipes are passed over without a wait (a writer never comes); a blocked window is ended by
    // the alarm, so the test fails instead of hanging.
    ASSERT_EQ(::mkfifo((root + "pipe.png").c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo((root + "tree/pipe.png").c_str(), 0600), 0);

    const auto current = Record<std::string>(list, &FileListView::CurrentPathChanged);
    ::alarm(30);
    list.AddPaths(std::vector<std::string>{root + "one.png", root + "tree", root + "README", root + "text.txt",
                                           root + "missing.png", root + "folder.png", root + "pipe.png"});
    EXPECT_FALSE(list.AddFileToList(root + "pipe.png"));
    ::alarm(0);
    EXPECT_EQ(list.RowCount(), 4);
    ASSERT_GE(current->size(), 1u);
    EXPECT_EQ(current->back(), list.PathOfRow(0));

    // The command line adds the same way, without the adding indicator.
    list.clear();
    const auto adding = Record<bool>(list, &FileListView::AddingChanged);
    list.AddCommandLinePaths({root + "tree/", root + "text.txt"});
    EXPECT_EQ(list.RowCount(), 2);
    EXPECT_TRUE(adding->empty());

    // Add files: the chosen files in order, then row 0 selected; add folder: the chosen tree.
    list.clear();
    filesToOpen = {QString::fromStdString(root + "tree/two.png"), QString::fromStdString(root + "one.png")};
    list.AddFilesAction()->trigger();
    EXPECT_EQ(list.RowCount(), 2);
    EXPECT_EQ(list.FirstSelectedPath(), list.PathOfRow(0));
    folderToChoose = QString::fromStdString(root + "tree");
    list.AddFolderAction()->trigger();
    EXPECT_EQ(list.RowCount(), 3);
    folderToChoose.clear();
    list.AddFolderAction()->trigger();  // cancelled: nothing happens
    EXPECT_EQ(list.RowCount(), 3);

    // Each dialog opens where it was used last: the first file's folder, the folder chosen; a
    // cancelled dialog forgets nothing.
    filesToOpen.clear();
    list.AddFilesAction()->trigger();
    // (The first-use folder is tested on its own below.)
    EXPECT_FALSE(dialogFolders.value(0).isEmpty());
    EXPECT_EQ(dialogFolders, (QStringList{dialogFolders.value(0), dialogFolders.value(0), QString::fromStdString(root + "tree"),
                                          QString::fromStdString(root + "tree/")}));
    EXPECT_EQ(list.LastFilesFolder(), root + "tree/");
    EXPECT_EQ(list.LastAddedFolder(), root + "tree");
}

TEST(FileListLocalPaths, DroppedUrlsKeepTheirBytes) {
    const QList<QUrl> urls = {QUrl("file:///tmp/caf%E9.png"), QUrl("file:///tmp/with%20space.jpg"),
                              QUrl("https://example.org/a.png")};
    EXPECT_EQ(LocalPathsOfUrls(urls), (std::vector<std::string>{"/tmp/caf\xE9.png", "/tmp/with space.jpg"}));
}

TEST(FileListTexts, DialogFilterListsEveryExtensionInBothLetterCases) {
    const QStringList entries = FileListView::DialogFilter().split(";;");
    ASSERT_EQ(entries.size(), 1 + qsizetype(ReaderExtensions().size()));
    const QString all = entries[0];
    // The common picture types first (the dialog shows the start), camera RAW types last.
    EXPECT_TRUE(all.startsWith("All (*.jpg *.JPG *.bmp *.BMP ")) << all.toStdString();
    EXPECT_LT(all.indexOf("*.webp "), all.indexOf("*.crw ")) << all.toStdString();
    EXPECT_TRUE(all.endsWith("*.rw2 *.RW2)")) << all.toStdString();
    EXPECT_TRUE(all.endsWith(")"));
    for (const std::string& extension : AcceptedExtensions()) {
        const QString pattern = "*" + QString::fromStdString(extension);
        EXPECT_TRUE(all.contains(" " + pattern.toLower() + " ") || all.contains("(" + pattern.toLower() + " "))
            << extension;
        EXPECT_TRUE(all.contains(" " + pattern.toUpper())) << extension;
    }
    EXPECT_EQ(entries[1], ".BMP (*.bmp *.BMP)");
    EXPECT_EQ(entries.back(), ".RW2 (*.rw2 *.RW2)");
}

// Before any dialog was used, both open in the user's pictures folder, or home without one.
TEST_F(ListFixture, DialogsFirstOpenInThePicturesFolderElseHome) {
    TempDir home;
    const QByteArray oldHome = qgetenv("HOME"), oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", QByteArray::fromStdString(home.path().string()));
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(home / "config"));  // no user-dirs file
    for (const bool withPictures : {false, true}) {
        if (withPictures) fs::create_directories(home / "Pictures");
        dialogFolders.clear();
        list.AddFilesAction()->trigger();
        list.AddFolderAction()->trigger();
        const QString expected = QString::fromStdString(withPictures ? home / "Pictures" : home.path().string());
        EXPECT_EQ(dialogFolders, (QStringList{expected, expected})) << withPictures;
    }
    qputenv("HOME", oldHome);
    if (oldConfig.isEmpty()) qunsetenv("XDG_CONFIG_HOME");
    else qputenv("XDG_CONFIG_HOME", oldConfig);
}

// Name and folder share the width the narrow columns leave: the name whole where it fits, the
// folder never below a quarter of that room (or what it needs); both whole on hover.
TEST_F(ListFixture, NameAndFolderShareTheRestAndShowWholeOnHover) {
    TempDir dir;
    const std::string folder = dir / "a folder with a long name/another long folder name/photos/";
    fs::create_directories(folder);
    const std::string name = "a long picture name from a phone camera 20240812_153012.png";
    WritePng(folder + name, 2, 2);
    ASSERT_TRUE(list.AddFileToList(folder + name));
    list.show();
    auto width = [this](int column) { return list.columnWidth(column); };
    const int needName = list.fontMetrics().horizontalAdvance(QString::fromStdString(name));
    for (const int listWidth : {1400, 700, 420, 300}) {
        SCOPED_TRACE(listWidth);
        list.resize(listWidth, 200);
        list.FitColumns();
        const int narrow = width(FileListView::TypeColumn) + width(FileListView::SizeColumn) +
                           width(FileListView::ImageSizeColumn);
        const int room = list.viewport()->width() - narrow;
        // Name and folder fill the rest exactly: no scroll bar, no gap.
        EXPECT_EQ(width(FileListView::NameColumn) + width(FileListView::PathColumn), room);
        EXPECT_GE(width(FileListView::PathColumn), room / 4);
        const bool nameFits = needName + room / 4 < room;
        EXPECT_EQ(width(FileListView::NameColumn) > needName, nameFits);
    }
    QTreeWidgetItem* row = list.topLevelItem(0);
    EXPECT_EQ(row->data(FileListView::NameColumn, Qt::ToolTipRole).toString().toStdString(), name);
    EXPECT_EQ(row->data(FileListView::PathColumn, Qt::ToolTipRole).toString().toStdString(), folder);
    EXPECT_FALSE(row->data(FileListView::SizeColumn, Qt::ToolTipRole).isValid());
    EXPECT_EQ(list.textElideMode(), Qt::ElideMiddle);
    EXPECT_EQ(list.itemDelegateForColumn(FileListView::PathColumn), nullptr);  // the list's middle elision
}

TEST(FileListTexts, CaptionsMenuNamesAndCommandStates) {
    TempDir dir;
    const std::string lang = dir / "lang.ini";
    {
        std::ofstream out(lang);
        out << "[English]\nPathColumn=Folder\nNameColumn=Name\nTypeColumn=Type\nSizeColumn=Size\n"
               "ImgSizeColumn=Dimensions\nZelvanMainformN5=Add files...\nZelvanMainformN8=Clear the list\n";
    }
    const LanguageFile texts = LanguageFile::Load(lang);
    QWidget window;
    FileListView& list = *new FileListView(&window);
    const auto states = Record<FileListControlStates>(list, &FileListView::ControlStatesChanged);
    list.ApplyLanguage(texts);
    QStringList captions;
    for (int column = 0; column < FileListView::ColumnCount; ++column) captions << list.headerItem()->text(column);
    EXPECT_EQ(captions, (QStringList{"Folder", "Name (0)", "Type", "Size", "Dimensions"}));

    // The popup menu, in order, with the names lang.ini knows.
    QStringList names;
    for (QAction* action : list.actions()) names << (action->isSeparator() ? "-" : action->objectName());
    EXPECT_EQ(names, (QStringList{"N14", "-", "N5", "N6", "-", "N12546", "N8"}));
    EXPECT_EQ(list.contextMenuPolicy(), Qt::ActionsContextMenu);
    // The window's texts reach the menu items by their names.
    ApplyWindowTexts(window, "ZelvanMainform", texts, "English", MainWindowTextRules());
    EXPECT_EQ(list.AddFilesAction()->text(), "Add files...");
    EXPECT_EQ(list.ClearListAction()->text(), "Clear the list");
    EXPECT_TRUE(list.actions()[1]->isSeparator());
    EXPECT_EQ(list.DeleteSelectedAction()->shortcut(), QKeySequence(Qt::Key_Delete));
    EXPECT_EQ(list.SelectAllAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_S));

    EXPECT_FALSE(list.SelectAllAction()->isEnabled());
    WritePng(dir / "a.png", 1, 1);
    ASSERT_TRUE(list.AddFileToList(dir / "a.png"));
    ASSERT_GE(states->size(), 1u);
    const FileListControlStates last = states->back();
    EXPECT_TRUE(last.convertButton && last.convertTool && last.clearList && last.selectAll && last.addFolder);
    EXPECT_FALSE(last.deleteSelected);
    list.SelectAllAction()->trigger();
    EXPECT_TRUE(list.ControlStates().deleteSelected);
    EXPECT_EQ(list.headerItem()->text(1), "Name (1)");
}

}  // namespace
}  // namespace zelvan
