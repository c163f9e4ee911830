#include "ui/option_pages.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QCursor>
#include <QEvent>
#include <QFileDialog>
#include <QFontDialog>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QStyle>
#include <QTabBar>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>

#include "jobs/size_presets.h"
#include "ui/image_size.h"
#include "ui/window_texts.h"

namespace zelvan {

namespace {

template <typename T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QLabel* MakeLabel(const char* name, const QString& text, QWidget* parent) {
    return Named(new QLabel(text, parent), name);
}

QCheckBox* MakeCheckBox(const char* name, const QString& text, QWidget* parent) {
    return Named(new QCheckBox(text, parent), name);
}

QSlider* MakeSlider(const char* name, int minimum, int maximum, int value, int tickInterval, QWidget* parent) {
    auto* slider = Named(new QSlider(Qt::Horizontal, parent), name);
    slider->setRange(minimum, maximum);
    slider->setValue(value);
    slider->setTickPosition(QSlider::TicksBelow);
    slider->setTickInterval(tickInterval);
    slider->setPageStep(std::max(1, (maximum - minimum) / 10));
    return slider;
}

QSpinBox* MakeSpinBox(const char* name, int minimum, int maximum, int value, QWidget* parent) {
    auto* spin = Named(new QSpinBox(parent), name);
    spin->setRange(minimum, maximum);
    spin->setValue(value);
    spin->setAccelerated(true);
    return spin;
}

QWidget* MakePage(const char* name) { return Named(new QWidget, name); }

// A value label beside a slider keeps the width of its widest value, so the slider does not
// jump while it moves.
void ReserveWidth(QLabel* label, const QString& widest) {
    label->setMinimumWidth(label->fontMetrics().horizontalAdvance(widest) + 4);
    label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
}

QStringList ListItems(const std::string& text) {
    QStringList items = QString::fromStdString(text).split(';');
    // A trailing ";" ends the last line rather than starting an empty one.
    if (items.size() > 1 && items.back().isEmpty()) items.removeLast();
    return items;
}

void ReplaceItems(QComboBox* list, const QStringList& items) {
    const int selected = list->currentIndex();
    const QSignalBlocker quiet(list);
    list->clear();
    list->addItems(items);
    list->setCurrentIndex(selected < list->count() ? selected : -1);
    list->view()->setMinimumWidth(list->view()->sizeHintForColumn(0) + 24);
}

// Whether a stored list index names a choice the conversion knows (its option's range), whatever
// the list in the window shows.
bool KnownChoice(const char* key, int index) {
    const OptionInfo* info = FindOption(key);
    return info != nullptr && index >= info->minimum && index <= info->maximum;
}

// A page's layout with the margins and spacing of a compact dialog.
template <typename Layout>
Layout* PageLayout(QWidget* page) {
    auto* layout = new Layout(page);
    layout->setContentsMargins(9, 9, 9, 6);
    return layout;
}

QColor ColourOf(const TextFont& font) {
    const auto c = static_cast<std::uint32_t>(font.colour);
    return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF), static_cast<int>((c >> 16) & 0xFF));
}

std::int32_t ColourValue(const QColor& colour) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(colour.red()) |
                                     (static_cast<std::uint32_t>(colour.green()) << 8) |
                                     (static_cast<std::uint32_t>(colour.blue()) << 16));
}

QString DefaultFolderChooser(QWidget* parent, const QString& title, const QString& current) {
    return QFileDialog::getExistingDirectory(parent, title, current,
                                             QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

std::optional<TextFont> DefaultFontChooser(QWidget* parent, const TextFont& current) {
    bool accepted = false;
    // Outline fonts only: the stamp is drawn at any size.
    const QFont chosen = QFontDialog::getFont(&accepted, QFontOf(current), parent, QString(), QFontDialog::ScalableFonts);
    if (!accepted) return std::nullopt;
    TextFont font = current;
    font.face = chosen.family().toStdString();
    if (chosen.pointSize() > 0) font.sizePoints = chosen.pointSize();
    font.style = (chosen.bold() ? 1 : 0) | (chosen.italic() ? 2 : 0) | (chosen.underline() ? 4 : 0) |
                 (chosen.strikeOut() ? 8 : 0);
    // Qt's font dialog has no colour; the stamp's colour is chosen right after it.
    const QColor colour = QColorDialog::getColor(ColourOf(current), parent);
    if (colour.isValid()) font.colour = ColourValue(colour);
    return font;
}

}  // namespace

QFont QFontOf(const TextFont& font) {
    QFont qfont(QString::fromStdString(font.face));
    if (font.sizePoints > 0) qfont.setPointSize(font.sizePoints);
    qfont.setBold((font.style & 1) != 0);
    qfont.setItalic((font.style & 2) != 0);
    qfont.setUnderline((font.style & 4) != 0);
    qfont.setStrikeOut((font.style & 8) != 0);
    return qfont;
}

OptionPages::OptionPages(QWidget* parent)
    : QTabWidget(parent),
      folderChooser_(DefaultFolderChooser),
      fontChooser_(DefaultFontChooser),
      clock_([] { return QDateTime::currentDateTime(); }),
      dates_(MaskDateConventions::System()) {
    setObjectName("PageControl1");
    BuildJpegPage();
    BuildPngPage();
    BuildJpeg2000Page();
    BuildRenamePage();
    BuildResizePage();
    BuildTextPage();
    BuildOutputPage();
    BuildVariableMenus();

    Timer7 = Named(new QTimer(this), "Timer7");
    Timer7->setInterval(1);
    Timer7->setSingleShot(true);
    connect(Timer7, &QTimer::timeout, this, [this] { applyingPreset_ = false; });

    setCurrentWidget(TabSheet7);
    UpdateResizeControls();
    UpdateRenameExample();
    UpdateTextExample();
}

void OptionPages::BuildJpegPage() {
    TabSheet1 = MakePage("TabSheet1");
    auto* grid = PageLayout<QGridLayout>(TabSheet1);
    Label1 = MakeLabel("Label1", QString::fromUtf8("Качество: "), TabSheet1);
    TrackBar1 = MakeSlider("TrackBar1", 1, 100, 85, 2, TabSheet1);
    Label3 = MakeLabel("Label3", "85%", TabSheet1);
    ReserveWidth(Label3, "100%");
    CheckBox1 = MakeCheckBox("CheckBox1", QString::fromUtf8("Прогресивный"), TabSheet1);
    grid->addWidget(Label1, 0, 0);
    grid->addWidget(TrackBar1, 0, 1);
    grid->addWidget(Label3, 0, 2);
    grid->addWidget(CheckBox1, 1, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(2, 1);
    connect(TrackBar1, &QSlider::valueChanged, this, [this](int value) { Label3->setText(QString::number(value) + "%"); });
    addTab(TabSheet1, "JPG");
}

void OptionPages::BuildPngPage() {
    TabSheet2 = MakePage("TabSheet2");
    auto* grid = PageLayout<QGridLayout>(TabSheet2);
    Label2 = MakeLabel("Label2", QString::fromUtf8("Сжатие: "), TabSheet2);
    TrackBar2 = MakeSlider("TrackBar2", 0, 9, 9, 1, TabSheet2);
    Label4 = MakeLabel("Label4", "9", TabSheet2);
    ReserveWidth(Label4, "100%");
    CheckBox9 = MakeCheckBox("CheckBox9", "Interlaced (Adam7)", TabSheet2);
    CheckBox10 = MakeCheckBox("CheckBox10", "Filter (Reduces size)", TabSheet2);
    CheckBox10->setChecked(true);
    grid->addWidget(Label2, 0, 0);
    grid->addWidget(TrackBar2, 0, 1);
    grid->addWidget(Label4, 0, 2);
    grid->addWidget(CheckBox9, 1, 0, 1, 3);
    grid->addWidget(CheckBox10, 2, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(3, 1);
    connect(TrackBar2, &QSlider::valueChanged, this, [this](int value) { Label4->setText(QString::number(value)); });
    addTab(TabSheet2, "PNG");
}

void OptionPages::BuildJpeg2000Page() {
    TabSheet8 = MakePage("TabSheet8");
    auto* grid = PageLayout<QGridLayout>(TabSheet8);
    Label20 = MakeLabel("Label20", QString::fromUtf8("Качество:"), TabSheet8);
    TrackBar3 = MakeSlider("TrackBar3", 1, 100, 75, 2, TabSheet8);
    Label21 = MakeLabel("Label21", "75%", TabSheet8);
    ReserveWidth(Label21, "100%");
    CheckBox11 = MakeCheckBox("CheckBox11", "Lossless", TabSheet8);
    grid->addWidget(Label20, 0, 0);
    grid->addWidget(TrackBar3, 0, 1);
    grid->addWidget(Label21, 0, 2);
    grid->addWidget(CheckBox11, 1, 0, 1, 3);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(2, 1);
    connect(TrackBar3, &QSlider::valueChanged, this, [this](int value) { Label21->setText(QString::number(value) + "%"); });
    addTab(TabSheet8, "JPEG 2000");
}

void OptionPages::BuildRenamePage() {
    TabSheet4 = MakePage("TabSheet4");
    auto* grid = PageLayout<QGridLayout>(TabSheet4);
    CheckBox5 = MakeCheckBox("CheckBox5", QString::fromUtf8("Переименовать"), TabSheet4);
    CheckBox5->setChecked(true);
    Label10 = MakeLabel("Label10", QString::fromUtf8("Маска:"), TabSheet4);
    Edit2 = Named(new QLineEdit("[N]", TabSheet4), "Edit2");
    PngBitBtn6 = Named(new QPushButton("Add variable", TabSheet4), "PngBitBtn6");
    Label11 = MakeLabel("Label11", QString::fromUtf8("Цифр счетчика:"), TabSheet4);
    SpinEdit5 = MakeSpinBox("SpinEdit5", 1, 10, 3, TabSheet4);
    Label16 = MakeLabel("Label16", QString::fromUtf8("Пример: "), TabSheet4);
    Label17 = MakeLabel("Label17", QString(), TabSheet4);
    Label10->setBuddy(Edit2);
    Label11->setBuddy(SpinEdit5);

    grid->addWidget(CheckBox5, 0, 0, 1, 3);
    grid->addWidget(Label10, 1, 0);
    grid->addWidget(Edit2, 1, 1);
    grid->addWidget(PngBitBtn6, 1, 2);
    grid->addWidget(Label11, 2, 0);
    grid->addWidget(SpinEdit5, 2, 1, Qt::AlignLeft);
    grid->addWidget(Label16, 3, 0);
    grid->addWidget(Label17, 3, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);

    connect(Edit2, &QLineEdit::textChanged, this, [this] { UpdateRenameExample(); });
    connect(SpinEdit5, &QSpinBox::valueChanged, this, [this] { UpdateRenameExample(); });
    addTab(TabSheet4, "Rename");
}

void OptionPages::BuildResizePage() {
    TabSheet6 = MakePage("TabSheet6");
    auto* row = PageLayout<QVBoxLayout>(TabSheet6);

    GroupBox3 = Named(new QGroupBox(QString::fromUtf8("Изменение размера"), TabSheet6), "GroupBox3");
    auto* box = new QGridLayout(GroupBox3);
    box->setContentsMargins(6, 4, 6, 4);
    box->setVerticalSpacing(4);
    NoResizeRadioButton = Named(new QRadioButton(QString::fromUtf8("Не изменять"), GroupBox3), "NoResizeRadioButton");
    NoResizeRadioButton->setChecked(true);
    ChangeSizeRadioButton =
        Named(new QRadioButton(QString::fromUtf8("Изменить размер:"), GroupBox3), "ChangeSizeRadioButton");
    ChangeSizePercentRadioButton =
        Named(new QRadioButton(QString::fromUtf8("В процентах:"), GroupBox3), "ChangeSizePercentRadioButton");
    SpinEdit2 = MakeSpinBox("SpinEdit2", 1, 99999, 800, GroupBox3);
    SpinEdit3 = MakeSpinBox("SpinEdit3", 1, 99999, 600, GroupBox3);
    auto* times = new QLabel(QString::fromUtf8("×"), GroupBox3);
    Label19 = MakeLabel("Label19", AspectRatioText(800, 600), GroupBox3);
    Label19->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    SpinEdit4 = MakeSpinBox("SpinEdit4", 1, 200, 75, GroupBox3);
    Label8 = MakeLabel("Label8", "%", GroupBox3);

    box->addWidget(NoResizeRadioButton, 0, 0, 1, 5);
    box->addWidget(ChangeSizeRadioButton, 1, 0, 1, 5);
    auto* size = new QHBoxLayout;
    size->setSpacing(4);
    size->addSpacing(20);
    size->addWidget(SpinEdit2);
    size->addWidget(times);
    size->addWidget(SpinEdit3);
    size->addSpacing(4);
    size->addWidget(Label19, 1);
    box->addLayout(size, 2, 0, 1, 5);
    box->addWidget(ChangeSizePercentRadioButton, 3, 0);
    auto* percent = new QHBoxLayout;
    percent->setSpacing(4);
    percent->addWidget(SpinEdit4);
    percent->addWidget(Label8);
    percent->addStretch(1);
    box->addLayout(percent, 3, 1, 1, 4);
    box->setRowStretch(4, 1);

    auto* checks = new QVBoxLayout;
    checks->setSpacing(4);
    CheckBox4 = MakeCheckBox("CheckBox4", QString::fromUtf8("Пропорции"), TabSheet6);
    CheckBox4->setChecked(true);
    CheckBox6 = MakeCheckBox("CheckBox6", QString::fromUtf8("Увеличить если меньше"), TabSheet6);
    CheckBox7 = MakeCheckBox("CheckBox7", "Smart crop", TabSheet6);
    checks->addWidget(CheckBox4);
    checks->addWidget(CheckBox6);
    checks->addWidget(CheckBox7);
    checks->addStretch(1);

    Label14 = MakeLabel("Label14", QString::fromUtf8("Фильтр:"), TabSheet6);
    ComboBox3 = Named(new QComboBox(TabSheet6), "ComboBox3");
    ComboBox3->addItems({"Nearest neighbour", "Bilinear", "Hermite", "Bell", "B-spline", "Lanczos3", "Mitchell"});
    ComboBox3->setCurrentIndex(5);
    Label15 = MakeLabel("Label15", QString::fromUtf8("Стандартные размеры:"), TabSheet6);
    ComboBox4 = Named(new QComboBox(TabSheet6), "ComboBox4");
    ComboBox4->setMaxVisibleItems(15);
    for (const std::string& design : SizePresetDesignTexts()) {
        const QString text = QString::fromStdString(design);
        const auto [width, height] = ParseSizeText(text);
        ComboBox4->addItem(SizePresetCaption(text, width, height));
    }
    ComboBox4->setCurrentIndex(0);
    // The captions are long; the closed list may be narrow, its open list shows them whole.
    ComboBox4->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComboBox4->setMinimumContentsLength(8);
    ComboBox4->view()->setMinimumWidth(ComboBox4->view()->sizeHintForColumn(0) + 24);
    ComboBox3->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComboBox3->setMinimumContentsLength(8);
    ComboBox3->view()->setMinimumWidth(ComboBox3->view()->sizeHintForColumn(0) + 24);
    Label14->setBuddy(ComboBox3);
    Label15->setBuddy(ComboBox4);

    auto* lists = new QHBoxLayout;
    lists->addWidget(Label14);
    lists->addWidget(ComboBox3, 1);
    lists->addSpacing(6);
    lists->addWidget(Label15);
    lists->addWidget(ComboBox4, 1);

    auto* top = new QHBoxLayout;
    top->addWidget(GroupBox3, 0);
    top->addSpacing(6);
    top->addLayout(checks, 1);
    row->addLayout(top);
    row->addLayout(lists);
    row->addStretch(1);

    for (QRadioButton* radio : {NoResizeRadioButton, ChangeSizeRadioButton, ChangeSizePercentRadioButton}) {
        connect(radio, &QRadioButton::toggled, this, [this](bool on) {
            if (on) UpdateResizeControls();
        });
    }
    connect(CheckBox4, &QCheckBox::toggled, this, [this] { UpdateResizeControls(); });
    connect(CheckBox6, &QCheckBox::toggled, this, [this] { UpdateResizeControls(); });
    connect(SpinEdit2, &QSpinBox::valueChanged, this, [this] { SizeBoxChanged(); });
    connect(SpinEdit3, &QSpinBox::valueChanged, this, [this] { SizeBoxChanged(); });
    connect(ComboBox4, &QComboBox::currentIndexChanged, this, [this](int index) { PresetChosen(index); });
    connect(ComboBox3, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (KnownChoice("Resampling_filter", index)) lastFilter_ = index;
    });
    addTab(TabSheet6, "Resize");
}

void OptionPages::BuildTextPage() {
    TabSheet12 = MakePage("TabSheet12");
    auto* grid = PageLayout<QGridLayout>(TabSheet12);
    CheckBox12 = MakeCheckBox("CheckBox12", "Draw text", TabSheet12);
    Label23 = MakeLabel("Label23", "Mask:", TabSheet12);
    Edit3 = Named(new QLineEdit(TabSheet12), "Edit3");
    PngBitBtn5 = Named(new QPushButton("Add variable", TabSheet12), "PngBitBtn5");
    PngBitBtn4 = Named(new QPushButton("Font", TabSheet12), "PngBitBtn4");
    Label24 = MakeLabel("Label24", "Sample: ", TabSheet12);
    Label25 = MakeLabel("Label25", QString(), TabSheet12);
    Label22 = MakeLabel("Label22", "Text position:", TabSheet12);
    ComboBox5 = Named(new QComboBox(TabSheet12), "ComboBox5");
    ComboBox5->addItems(
        {"Top-Left", "Top-Center", "Top-Right", "Center", "Bottom-Left", "Bottom-Center", "Bottom-Right"});
    ComboBox5->setCurrentIndex(6);
    CheckBox14 = MakeCheckBox("CheckBox14", "Shadow", TabSheet12);
    CheckBox14->setChecked(true);
    SpinEdit6 = MakeSpinBox("SpinEdit6", 1, 100, 100, TabSheet12);
    SpinEdit6->hide();
    fontSummary_ = new QLabel(TabSheet12);
    Label23->setBuddy(Edit3);
    Label22->setBuddy(ComboBox5);

    grid->addWidget(CheckBox12, 0, 0, 1, 2);
    grid->addWidget(CheckBox14, 0, 2);
    grid->addWidget(Label23, 1, 0);
    grid->addWidget(Edit3, 1, 1);
    grid->addWidget(PngBitBtn5, 1, 2);
    grid->addWidget(Label24, 2, 0);
    grid->addWidget(Label25, 2, 1, 1, 2);
    grid->addWidget(Label22, 3, 0);
    auto* position = new QHBoxLayout;
    position->addWidget(ComboBox5);
    position->addSpacing(8);
    position->addWidget(PngBitBtn4);
    position->addWidget(fontSummary_, 1);
    grid->addLayout(position, 3, 1, 1, 2);
    grid->setColumnStretch(1, 1);
    grid->setRowStretch(4, 1);

    connect(Edit3, &QLineEdit::textChanged, this, [this] { UpdateTextExample(); });
    connect(ComboBox5, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (KnownChoice("Text_position", index)) lastPosition_ = index;
    });
    connect(PngBitBtn4, &QPushButton::clicked, this, [this] { ChooseFont(); });
    ShowFontSummary();
    addTab(TabSheet12, "Text");
}

void OptionPages::BuildOutputPage() {
    TabSheet7 = MakePage("TabSheet7");
    auto* grid = PageLayout<QGridLayout>(TabSheet7);
    Label5 = MakeLabel("Label5", QString::fromUtf8("Папка для вывода:"), TabSheet7);
    Edit1 = Named(new QLineEdit(TabSheet7), "Edit1");
    PngBitBtn3 = Named(new QPushButton(QString::fromUtf8("Обзор"), TabSheet7), "PngBitBtn3");
    Label6 = MakeLabel("Label6", QString::fromUtf8("Формат вывода:"), TabSheet7);
    ComboBox1 = Named(new QComboBox(TabSheet7), "ComboBox1");
    ComboBox1->addItems({"JPEG", "PNG", "BMP", "GIF", "JPEG 2000", "TGA"});
    Label7 = MakeLabel("Label7", QString::fromUtf8("Потоков:"), TabSheet7);
    SpinEdit1 = MakeSpinBox("SpinEdit1", 1, ProcessorCount(), ProcessorCount(), TabSheet7);
    SpinEdit1->setToolTip(QString::fromUtf8("Рекомендуется число потоков, равное числу процессоров"));
    CheckBox2 = MakeCheckBox("CheckBox2", QString::fromUtf8("Перезапись"), TabSheet7);
    CheckBox2->setToolTip(QString::fromUtf8("Перезапись существующих файлов"));
    CheckBox3 = MakeCheckBox("CheckBox3", QString::fromUtf8("Авто формат"), TabSheet7);
    CheckBox3->setToolTip(QString::fromUtf8("Выбор оптимального формата по размеру файла"));
    CheckBox8 = MakeCheckBox("CheckBox8", "Use Exif", TabSheet7);
    CheckBox8->setChecked(true);
    Label5->setBuddy(Edit1);
    Label6->setBuddy(ComboBox1);
    Label7->setBuddy(SpinEdit1);

    grid->addWidget(Label5, 0, 0);
    grid->addWidget(Edit1, 0, 1, 1, 2);
    grid->addWidget(PngBitBtn3, 0, 3);
    grid->addWidget(Label6, 1, 0);
    grid->addWidget(ComboBox1, 1, 1);
    grid->addWidget(CheckBox3, 1, 2, 1, 2);
    grid->addWidget(Label7, 2, 0);
    grid->addWidget(SpinEdit1, 2, 1);
    grid->addWidget(CheckBox2, 2, 2, 1, 2);
    grid->addWidget(CheckBox8, 3, 2, 1, 2);
    grid->setColumnStretch(2, 1);
    grid->setRowStretch(4, 1);

    connect(CheckBox3, &QCheckBox::toggled, this, [this](bool automatic) {
        ComboBox1->setEnabled(!automatic);
        Label6->setEnabled(!automatic);
    });
    connect(ComboBox1, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (KnownChoice("Output_format", index)) lastFormat_ = index;
    });
    connect(PngBitBtn3, &QPushButton::clicked, this, [this] { BrowseOutputFolder(); });
    addTab(TabSheet7, "Output settings");
}

QAction* OptionPages::AddVariable(QMenu* menu, const char* name, const char* caption, const char* token,
                                  QLineEdit* target) {
    auto* action = Named(new QAction(QString::fromUtf8(caption), menu), name);
    const QString text = QString::fromUtf8(token);
    // Replaces the selection, or inserts at the caret.
    connect(action, &QAction::triggered, target, [target, text] {
        target->insert(text);
        target->setFocus();
    });
    menu->addAction(action);
    return action;
}

void OptionPages::BuildVariableMenus() {
    RenameVariableMenu = new QMenu(this);
    AddVariable(RenameVariableMenu, "NTheoriginalfilename1", "[N] - Original filename ", "[N]", Edit2);
    AddVariable(RenameVariableMenu, "EFileextension1", "[E] - File extension ", "[E]", Edit2);
    AddVariable(RenameVariableMenu, "WThewidthoftheimageinpixels1", "[W] - Image width in pixels ", "[W]", Edit2);
    AddVariable(RenameVariableMenu, "HImageheightinpixels1", "[H] - Image height in pixels ", "[H]", Edit2);
    AddVariable(RenameVariableMenu, "Currenttime2", "[T] - Current time ", "[T]", Edit2);
    AddVariable(RenameVariableMenu, "DCurrentDate1", "[D] - Current Date", "[D]", Edit2);
    AddVariable(RenameVariableMenu, "CFilecounter1", "[C] - File counter", "[C]", Edit2);
    AddVariable(RenameVariableMenu, "FCDFilecreationdate1", "[FCD] - File creation date", "[FCD]", Edit2);
    AddVariable(RenameVariableMenu, "FCTFilecreationtime1", "[FCT] - File creation time", "[FCT]", Edit2);

    TextVariableMenu = new QMenu(this);
    AddVariable(TextVariableMenu, "Currentdate1", "[D] - Current date", "[D]", Edit3);
    AddVariable(TextVariableMenu, "Currenttime1", "[T] - Current time", "[T]", Edit3);
    TextVariableMenu->addSeparator();
    AddVariable(TextVariableMenu, "Filecreationdate1", "[FCD] - File creation date", "[FCD]", Edit3);
    AddVariable(TextVariableMenu, "Filecreationtime1", "[FCT] - File creation time", "[FCT]", Edit3);
    TextVariableMenu->addSeparator();
    AddVariable(TextVariableMenu, "Filename1", "[N] - Original filename", "[N]", Edit3);
    AddVariable(TextVariableMenu, "Extension1", "[E] - Extension", "[E]", Edit3);
    AddVariable(TextVariableMenu, "Width1", "[W] - Width", "[W]", Edit3);
    AddVariable(TextVariableMenu, "Height1", "[H] - Height", "[H]", Edit3);
    AddVariable(TextVariableMenu, "Counter1", "[C] - Counter", "[C]", Edit3);
    TextVariableMenu->addSeparator();
    AddVariable(TextVariableMenu, "Exifdate1", "[ED] - Exif date", "[ED]", Edit3);
    AddVariable(TextVariableMenu, "Exiftime1", "[ET] - Exif time", "[ET]", Edit3);
    TextVariableMenu->addSeparator();
    Addsymbol1 = Named(new QMenu("Add symbol", TextVariableMenu), "Addsymbol1");
    TextVariableMenu->addMenu(Addsymbol1);
    AddVariable(Addsymbol1, "N25", "© - Copyright", "©", Edit3);
    AddVariable(Addsymbol1, "Registered1", "® - Registered", "®", Edit3);
    AddVariable(Addsymbol1, "rademark1", "™ - Trade mark", "™", Edit3);

    // Each button opens its menu where the pointer is, on a click and as its context menu.
    const auto attach = [this](QPushButton* button, QMenu* menu) {
        connect(button, &QPushButton::clicked, menu, [menu] { menu->popup(QCursor::pos()); });
        button->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(button, &QWidget::customContextMenuRequested, menu,
                [button, menu](const QPoint& at) { menu->popup(button->mapToGlobal(at)); });
    };
    attach(PngBitBtn6, RenameVariableMenu);
    attach(PngBitBtn5, TextVariableMenu);
}

QSize OptionPages::sizeHint() const {
    QSize hint = QTabWidget::sizeHint();
    const int tabs = tabBar()->sizeHint().width();
    hint.setWidth(std::max(hint.width(), tabs + 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this) + 4));
    return hint;
}

void OptionPages::UpdateResizeControls() {
    const bool fixed = ChangeSizeRadioButton->isChecked();
    const bool percent = ChangeSizePercentRadioButton->isChecked();
    SpinEdit2->setEnabled(fixed);
    SpinEdit3->setEnabled(fixed);
    CheckBox4->setEnabled(fixed);
    CheckBox6->setEnabled(fixed);
    CheckBox7->setEnabled(fixed && CheckBox4->isChecked());
    SpinEdit4->setEnabled(percent);
}

void OptionPages::SizeBoxChanged() {
    if (!applyingPreset_) ComboBox4->setCurrentIndex(0);
    Label19->setText(AspectRatioText(static_cast<std::uint64_t>(SpinEdit2->value()),
                                     static_cast<std::uint64_t>(SpinEdit3->value())));
}

void OptionPages::PresetChosen(int index) {
    if (index <= 0) return;
    ChangeSizeRadioButton->setChecked(true);
    applyingPreset_ = true;
    const auto [width, height] = ParseSizeText(ComboBox4->itemText(index));
    SpinEdit2->setValue(width);  // a text that does not parse gives -1: the box's minimum
    SpinEdit3->setValue(height);
    Timer7->start();
}

MaskSubject OptionPages::ExampleSubject() const {
    MaskSubject subject;
    subject.sourcePath = "Filename.jpg";
    subject.destinationPath = "Filename.jpg";
    subject.jobNumber = 15;
    subject.width = SpinEdit2->value();
    subject.height = SpinEdit3->value();
    subject.now = clock_();
    subject.sourceWritten = subject.now;  // the file dates show as the current ones
    return subject;
}

void OptionPages::UpdateRenameExample() {
    renameExample_ = QString::fromStdString(ExpandMask(Edit2->text().toStdString(), ExampleSubject(),
                                                       MaskKind::Rename, dates_, SpinEdit5->value()));
    ShowElided(Label17, renameExample_);
}

void OptionPages::UpdateTextExample() {
    textExample_ = QString::fromStdString(
        ExpandMask(Edit3->text().toStdString(), ExampleSubject(), MaskKind::TextStamp, dates_, 1));
    ShowElided(Label25, textExample_);
}

void OptionPages::ShowElided(QLabel* label, const QString& text) {
    if (label->property("fullText").isNull()) {
        // The label follows its column's width instead of widening the page to fit the text.
        label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
        label->setMinimumWidth(0);
        label->setTextFormat(Qt::PlainText);  // a mask is never markup
        label->installEventFilter(this);
    }
    label->setProperty("fullText", text);
    const int width = label->width() > 0 ? label->width() : 10000;
    label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, width));
    label->setToolTip(text);
}

bool OptionPages::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::Resize && (watched == Label17 || watched == Label25 || watched == fontSummary_)) {
        auto* label = static_cast<QLabel*>(watched);
        const QString text = label->property("fullText").toString();
        label->setText(label->fontMetrics().elidedText(text, Qt::ElideRight, label->width()));
    }
    return QTabWidget::eventFilter(watched, event);
}

void OptionPages::BrowseOutputFolder() {
    QString folder = folderChooser_(window(), selectDirTitle_, Edit1->text());
    if (folder.isEmpty()) return;
    // The path as chosen, without a trailing separator except for the root; Convert adds it.
    while (folder.size() > 1 && folder.endsWith('/')) folder.chop(1);
    Edit1->setText(folder);
}

void OptionPages::ChooseFont() {
    if (std::optional<TextFont> chosen = fontChooser_(window(), font_)) SetTextStampFont(*chosen);
}

void OptionPages::SetTextStampFont(const TextFont& font) {
    font_ = font;
    ShowFontSummary();
}

void OptionPages::ShowFontSummary() {
    // A colour swatch and the face and size, so the stamp's font is visible without the dialog.
    const int side = fontSummary_->fontMetrics().height() - 4;
    QPixmap swatch(side, side);
    swatch.fill(ColourOf(font_));
    {
        QPainter painter(&swatch);
        painter.setPen(palette().color(QPalette::Mid));
        painter.drawRect(0, 0, side - 1, side - 1);
    }
    ShowElided(fontSummary_, QString::fromStdString(font_.face) + ", " + QString::number(font_.sizePoints) + " pt");
    PngBitBtn4->setIcon(QIcon(swatch));
}

void OptionPages::SetOutputPathText(const std::string& path) { Edit1->setText(QString::fromStdString(path)); }

void OptionPages::SetRenameMaskText(const std::string& mask) { Edit2->setText(QString::fromStdString(mask)); }

void OptionPages::SetThreads(int threads) { SpinEdit1->setValue(threads); }

void OptionPages::ApplyLanguageLists(const LanguageFile& file) {
    // The naming rule's tab pages belong to a plain tab widget; these pages take their
    // captions here, by the same keys.
    for (int i = 0; i < count(); ++i) {
        const std::string key = "ZelvanMainform" + widget(i)->objectName().toStdString();
        setTabText(i, WindowTextOf(file, file.CurrentLanguage(), key, tabText(i)));
    }
    ReplaceItems(ComboBox3, ListItems(file.LookupText("FilterList")));
    ReplaceItems(ComboBox5, ListItems(file.LookupText("PositionList")));
    selectDirTitle_ = Tr(file, "SelectDir");
}

void OptionPages::ApplyOptions(const ConversionOptions& o) {
    TrackBar1->setValue(o.jpegQuality);
    TrackBar3->setValue(o.jpeg2000Quality);
    Label21->setText(QString::number(TrackBar3->value()) + "%");

    CheckBox1->setChecked(o.jpegProgressive);
    CheckBox3->setChecked(o.autoFormat);
    switch (o.resizeMode) {
        case 0: NoResizeRadioButton->setChecked(true); break;
        case 1: ChangeSizeRadioButton->setChecked(true); break;
        case 2: ChangeSizePercentRadioButton->setChecked(true); break;
        default: break;  // any other value leaves the radio buttons as they are
    }
    TrackBar2->setValue(o.pngCompression);

    Edit1->setText(QString::fromStdString(o.outputFolder));
    Edit2->setText(QString::fromStdString(o.renameMask));
    Edit3->setText(QString::fromStdString(o.textStampMask));
    ComboBox1->setCurrentIndex(o.outputFormat < ComboBox1->count() ? o.outputFormat : -1);
    ComboBox5->setCurrentIndex(o.textPosition < ComboBox5->count() ? o.textPosition : -1);
    if (KnownChoice("Output_format", o.outputFormat)) lastFormat_ = o.outputFormat;
    if (KnownChoice("Text_position", o.textPosition)) lastPosition_ = o.textPosition;

    SpinEdit2->setValue(o.resizeWidth);
    SpinEdit3->setValue(o.resizeHeight);
    SpinEdit4->setValue(o.resizePercent);
    SpinEdit5->setValue(o.counterDigits);
    SpinEdit6->setValue(100);

    CheckBox4->setChecked(o.keepProportions);
    CheckBox5->setChecked(o.renameEnabled);
    CheckBox2->setChecked(o.overwrite);
    CheckBox8->setChecked(o.keepExif);
    CheckBox7->setChecked(o.smartCrop);
    CheckBox11->setChecked(o.jpeg2000Lossless);
    CheckBox12->setChecked(o.textStampEnabled);
    CheckBox14->setChecked(o.textShadow);

    SetTextStampFont(o.textFont);

    CheckBox9->setChecked(o.pngInterlace);
    CheckBox10->setChecked(o.pngAllFilters);
    CheckBox6->setChecked(o.enlargeSmaller);
    ComboBox3->setCurrentIndex(o.resamplingFilter < ComboBox3->count() ? o.resamplingFilter : -1);
    if (KnownChoice("Resampling_filter", o.resamplingFilter)) lastFilter_ = o.resamplingFilter;

    SpinEdit1->setMaximum(ProcessorCount());
    SpinEdit1->setValue(o.threads);

    // The masks were set before the resize box: the examples show the box as it is now.
    UpdateRenameExample();
    UpdateTextExample();
}

ConversionOptions OptionPages::Options() const {
    ConversionOptions o;
    o.threads = SpinEdit1->value();
    o.outputFormat = ComboBox1->currentIndex() >= 0 ? ComboBox1->currentIndex() : lastFormat_;
    o.outputFolder = Edit1->text().toStdString();
    o.overwrite = CheckBox2->isChecked();
    o.autoFormat = CheckBox3->isChecked();
    o.jpegQuality = TrackBar1->value();
    o.jpegProgressive = CheckBox1->isChecked();
    o.pngCompression = TrackBar2->value();
    o.pngInterlace = CheckBox9->isChecked();
    o.pngAllFilters = CheckBox10->isChecked();
    o.jpeg2000Quality = TrackBar3->value();
    o.jpeg2000Lossless = CheckBox11->isChecked();
    o.resizeMode = ChangeSizeRadioButton->isChecked() ? 1 : ChangeSizePercentRadioButton->isChecked() ? 2 : 0;
    o.resizeWidth = SpinEdit2->value();
    o.resizeHeight = SpinEdit3->value();
    o.keepProportions = CheckBox4->isChecked();
    o.enlargeSmaller = CheckBox6->isChecked();
    o.smartCrop = CheckBox7->isChecked();
    o.resizePercent = SpinEdit4->value();
    o.resamplingFilter = ComboBox3->currentIndex() >= 0 ? ComboBox3->currentIndex() : lastFilter_;
    o.renameEnabled = CheckBox5->isChecked();
    o.renameMask = Edit2->text().toStdString();
    o.counterDigits = SpinEdit5->value();
    o.textStampEnabled = CheckBox12->isChecked();
    o.textStampMask = Edit3->text().toStdString();
    o.textPosition = ComboBox5->currentIndex() >= 0 ? ComboBox5->currentIndex() : lastPosition_;
    o.textFont = font_;
    o.textShadow = CheckBox14->isChecked();
    o.textOpacity = SpinEdit6->value();
    o.keepExif = CheckBox8->isChecked();
    return o;
}

}  // namespace zelvan
