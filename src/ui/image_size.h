#pragma once

#include <QFile>
#include <QString>
#include <string>
#include <utility>

namespace zelvan {

// Opens a file named by its path bytes for reading. Qt's own file names are UTF-16 and cannot
// name a file whose name is not valid UTF-8, so the file is opened by descriptor instead.
bool OpenFileByPath(const std::string& path, QFile& file);

// The pixel size shown in the list's Image size column, read without decoding the pixels where
// Qt's readers can (QImageReader::size), otherwise by decoding with the program's own readers.
// "0x0" for a RAW file (its decoder is a separate plug-in) and for a file that does not exist;
// "Error" when neither Qt nor the program's readers can read the file.
std::string ImageSizeText(const std::string& path);

// Reads a text of the form width "x" height, as the Image size column and the size presets
// show it: blanks are ignored, a part in parentheses after the height is left out, and the
// separator is a lower-case "x". (-1, -1) for a text that does not parse. Short texts such as
// "2x1" parse like any other, so that the smallest images sort by their size too.
std::pair<int, int> ParseSizeText(const QString& text);

}  // namespace zelvan
