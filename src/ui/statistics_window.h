#pragma once

#include <QDialog>
#include <string>

#include "engine/job_environment.h"
#include "jobs/size_text.h"

class QLabel;
class QPushButton;

namespace zelvan {

// The lifetime statistics: how many files and how much source data the program has converted
// since it was first used. A fixed-size dialog, centred on the main window.
class StatisticsWindow : public QDialog {
    Q_OBJECT
public:
    StatisticsWindow(LifetimeCounters& counters, QWidget* parent = nullptr);

    // The window's texts from lang.ini, read afresh: captions by the naming rule, and the unit
    // words of the data total.
    void ApplyLanguage(const std::string& langIniPath, const std::string& language);
    // The statistics item of the File menu: the texts in English and then in the current
    // language (so anything the current language lacks reads in English), the figures, and
    // the window shown modally.
    void ShowStatistics(const std::string& langIniPath, const std::string& currentLanguage);
    // The figures alone: data total and file count.
    void WriteFigures();

private:
    LifetimeCounters& counters_;
    QLabel* title_;
    QLabel* processedDataCaption_;
    QLabel* processedData_;
    QLabel* processedFilesCaption_;
    QLabel* processedFiles_;
    QPushButton* closeButton_;
    SizeUnits units_;
};

}  // namespace zelvan
