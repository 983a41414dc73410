#include "ui/ask_drive.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <cerrno>

#include "engine/options.hpp"
#include "input/input.hpp"
#include "input/messages.hpp"
#include "input/text.hpp"
#include "ui/disk_service.hpp"
#include "ui/message_boxes.hpp"
#include "ui/qt_text.hpp"
#include "ui/size_form.hpp"
#include "ui/wait_size.hpp"
#include "ui/widgets.hpp"
#include "ui/window_texts.hpp"

namespace lk::ui {

TAskDrive::TAskDrive(Input& input, AnalysisOptions& options, TSizeForm& size_form, TWaitSize& wait,
                     QWidget* parent)
    : QDialog(parent), input_(input), options_(options), size_form_(size_form), wait_(wait) {
    setObjectName("AskDrive");
    setWindowTitle(T("Photo Drive"));
    disk_service = OpenThroughDiskService;

    auto* Label1 = new QLabel(T("Please specify the photo drive:"), this);
    Label1->setObjectName("Label1");
    auto* RadioGroup1 = new QGroupBox(T("Input type"), this);
    RadioGroup1->setObjectName("RadioGroup1");
    ldrive = new QRadioButton(T("&Logical drive"), RadioGroup1);
    ldrive->setObjectName("ldrive");
    ldrive->setToolTip(
        T("A logical drive is represented by a letter. Several logical drives may exist on a "
          "physical one"));
    ldrive->setChecked(true);
    pdrive = new QRadioButton(T("&Physical drive"), RadioGroup1);
    pdrive->setObjectName("pdrive");
    pdrive->setToolTip(
        T("A physical drive is an actual physical device - hard disk, reader, etc..."));
    file = new QRadioButton(T("&File"), RadioGroup1);
    file->setObjectName("file");
    file->setToolTip(T("A file where the image of a card has been previously stored"));
    auto* kinds = new QVBoxLayout(RadioGroup1);
    kinds->addWidget(ldrive);
    kinds->addWidget(pdrive);
    kinds->addWidget(file);
    kinds->addStretch();

    DriveComboBox1 = new QComboBox(this);
    DriveComboBox1->setObjectName("DriveComboBox1");
    KeepOwnTexts(DriveComboBox1);  // volumes
    DriveComboBox1->setToolTip(T("Please select the source drive"));
    DriveComboBox1->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    ListBox1 = new QListWidget(this);
    ListBox1->setObjectName("ListBox1");
    KeepOwnTexts(ListBox1);  // drives
    ListBox1->setToolTip(T("Please select the source drive"));
    ListBox1->hide();
    fname = new QLineEdit(this);
    fname->setObjectName("fname");
    // The three choices take the same room, so the dialog keeps its width.
    const int choice_width = fname->fontMetrics().averageCharWidth() * 40;
    fname->setMinimumWidth(choice_width);
    DriveComboBox1->setMinimumWidth(choice_width);
    ListBox1->setMinimumWidth(choice_width);
    ListBox1->setMaximumHeight(ListBox1->fontMetrics().height() * 8 + 8);
    fname->hide();
    askfile = new QPushButton("...", this);
    askfile->setObjectName("askfile");
    askfile->setToolTip(T("Browse to the file"));
    askfile->setMaximumWidth(askfile->fontMetrics().horizontalAdvance("...") * 3 + 12);
    askfile->setAutoDefault(false);
    askfile->hide();

    cache = new QCheckBox(T("&Cache the input"), this);
    cache->setObjectName("cache");
    cache->setChecked(true);
    cache->setToolTip(T("Speeds things up, needs a lot of memory"));
    ExpertMode = new QCheckBox(T("E&xpert mode"), this);
    ExpertMode->setObjectName("ExpertMode");
    ExpertMode->setToolTip(T("Define your own recovery parameters"));
    autosize = new QCheckBox(T("&Determine the card size"), this);
    autosize->setObjectName("autosize");
    autosize->setChecked(true);
    autosize->setToolTip(T("Determine the card size automatically. Deactivate if it crashes"));
    ThumbnailRendering = new QCheckBox(T("&Thumbnail rendering"), this);
    ThumbnailRendering->setObjectName("ThumbnailRendering");
    ThumbnailRendering->setChecked(true);
    ThumbnailRendering->setToolTip(T("Enable thumbnail rendering for recovered pictures"));

    Button1 = MakeButton(this, "Button1", T("OK"), true);
    auto* Button2 = MakeButton(this, "Button2", T("Cancel"));

    auto* choice = new QVBoxLayout;
    choice->addWidget(DriveComboBox1);
    choice->addWidget(ListBox1);
    auto* file_row = new QHBoxLayout;
    file_row->addWidget(fname, 1);
    file_row->addWidget(askfile);
    choice->addLayout(file_row);
    choice->addStretch();
    auto* options_box = new QVBoxLayout;
    options_box->addWidget(cache);
    options_box->addWidget(ExpertMode);
    options_box->addWidget(autosize);
    options_box->addWidget(ThumbnailRendering);
    auto* top = new QHBoxLayout;
    top->addWidget(RadioGroup1);
    top->addLayout(choice, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addLayout(options_box);
    buttons->addStretch();
    auto* ok_cancel = new QVBoxLayout;
    ok_cancel->addWidget(Button1);
    ok_cancel->addWidget(Button2);
    ok_cancel->addStretch();
    buttons->addLayout(ok_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->setSizeConstraint(QLayout::SetFixedSize);  // grows with the list, shrinks without it
    layout->addWidget(Label1);
    layout->addLayout(top);
    layout->addLayout(buttons);

    for (QRadioButton* kind : {ldrive, pdrive, file})
        connect(kind, &QRadioButton::toggled, this, [this, kind](bool on) {
            if (!on) return;
            // A file needs no cache of its own; a drive is read once into it.
            cache->setChecked(kind != file);
            if (kind == pdrive && physical_.empty()) build_physical_list();
            update_state();
        });
    connect(DriveComboBox1, &QComboBox::currentIndexChanged, this, [this] { update_state(); });
    connect(ListBox1, &QListWidget::currentRowChanged, this, [this] { update_state(); });
    connect(ListBox1, &QListWidget::itemDoubleClicked, this, [this] { accept(); });
    connect(fname, &QLineEdit::textChanged, this, [this] { update_state(); });
    connect(askfile, &QPushButton::clicked, this, &TAskDrive::AskFileClick);
    connect(Button1, &QPushButton::clicked, this, &TAskDrive::accept);
    connect(Button2, &QPushButton::clicked, this, &TAskDrive::reject);
}

InputKind TAskDrive::kind() const {
    return pdrive->isChecked() ? InputKind::Physical
           : file->isChecked() ? InputKind::File
                               : InputKind::Logical;
}

void TAskDrive::SetKind(InputKind k) {
    (k == InputKind::Physical ? pdrive : k == InputKind::File ? file : ldrive)->setChecked(true);
}

void TAskDrive::PreselectFile(const QString& path) {
    SetKind(InputKind::File);
    fname->setText(path);
}

bool TAskDrive::expert_mode() const {
    return ExpertMode->isChecked();
}
void TAskDrive::set_expert_mode(bool on) {
    ExpertMode->setChecked(on);
}

void TAskDrive::build_physical_list() {
    ListBox1->clear();
    physical_ = ListPhysicalDrives(input_.status(), input_.drives, autosize->isChecked(),
                                   include_all_, disk_service_expected);
    for (const drive_info_t& d : physical_) ListBox1->addItem(Q(DriveLine(d)));
    if (!physical_.empty()) ListBox1->setCurrentRow(0);
}

void TAskDrive::prepare(bool include_all) {
    include_all_ = include_all;
    if (QWidget* front = parentWidget(); front && front->isVisible())
        move(front->geometry().center() - QPoint(sizeHint().width() / 2, sizeHint().height() / 2));
    // The physical list is read afresh, keeping the drive chosen before.
    if (!physical_.empty()) {
        const int row = ListBox1->currentRow();
        const int number = row >= 0 && row < static_cast<int>(physical_.size())
                               ? physical_[static_cast<std::size_t>(row)].number
                               : -1;
        physical_.clear();
        ListBox1->clear();
        if (pdrive->isChecked()) {
            build_physical_list();
            for (std::size_t i = 0; i < physical_.size(); ++i)
                if (physical_[i].number == number) ListBox1->setCurrentRow(static_cast<int>(i));
        }
    }
    if (shown_before_ && DriveComboBox1->currentIndex() >= 0 &&
        DriveComboBox1->currentIndex() < static_cast<int>(volumes_.size()))
        remembered_volume_ =
            volumes_[static_cast<std::size_t>(DriveComboBox1->currentIndex())].device;
    // "-L" offers every volume as the platform lists them and picks none.
    VolumeChoice choice;
    if (include_all)
        choice.volumes = PlatformVolumes(input_.drives);
    else
        choice = FilterLogicalDrives(PlatformVolumes(input_.drives), remembered_volume_);
    shown_before_ = true;
    volumes_ = choice.volumes;
    DriveComboBox1->blockSignals(true);
    DriveComboBox1->clear();
    for (const volume_info_t& v : volumes_)
        DriveComboBox1->addItem(Q(v.device + " (" + SizeText(v.size) + ")"));
    DriveComboBox1->setCurrentIndex(choice.selected);
    DriveComboBox1->blockSignals(false);
    update_state();
}

void TAskDrive::update_state() {
    const InputKind k = kind();
    DriveComboBox1->setVisible(k == InputKind::Logical);
    ListBox1->setVisible(k == InputKind::Physical);
    fname->setVisible(k == InputKind::File);
    askfile->setVisible(k == InputKind::File);
    bool ok = false;
    switch (k) {
        case InputKind::Logical:
            ok = DriveComboBox1->currentIndex() >= 0;
            break;
        case InputKind::Physical:
            ok = ListBox1->currentRow() >= 0;
            break;
        case InputKind::File:
            ok = !fname->text().isEmpty();
            break;
    }
    Button1->setEnabled(ok);
    adjustSize();
}

void TAskDrive::AskFileClick() {
    QFileDialog OpenDialog1(this, T("Open"));
    OpenDialog1.setObjectName("OpenDialog1");
    OpenDialog1.setOption(QFileDialog::DontUseNativeDialog);
    OpenDialog1.setFileMode(QFileDialog::ExistingFile);
    OpenDialog1.setDefaultSuffix("cib");
    const QStringList filters = {T("Card Image Backup") + " (*.cib)", T("All Files") + " (*)"};
    OpenDialog1.setNameFilters(filters);
    OpenDialog1.selectNameFilter(filters[1]);
    if (!fname->text().isEmpty()) OpenDialog1.selectFile(fname->text());
    if (OpenDialog1.exec() != QDialog::Accepted || OpenDialog1.selectedFiles().isEmpty()) return;
    fname->setText(OpenDialog1.selectedFiles().first());
    Button1->setFocus();
}

void TAskDrive::accept() {
    // OK without a choice does not close the dialog.
    if (!Button1->isEnabled()) return;
    QDialog::accept();
}

bool TAskDrive::open_through_service(const std::string& device, int number) {
    const int denied = input_.last_error();
    const DiskServiceAnswer answer = disk_service ? disk_service(device) : DiskServiceAnswer{};
    if (answer.fd >= 0)
        return number >= 0 ? input_.OpenPhysicalDrive(number, answer.fd)
                           : input_.OpenLogicalDrive(device, answer.fd);
    std::string text = format(translate("Can't open the input drive: %hs"),
                              answer.available ? answer.error : InputErrorText(denied));
    // Without a service to ask, the user needs to know how to get access.
    if (!answer.available) text += std::string("\n\n") + translate(kDriveRights);
    ShowMessage(MessageKind::Error, translate("Error"), text);
    return false;
}

bool TAskDrive::open_chosen() {
    chosen_drive_ = kind() != InputKind::File;
    bool opened = false;
    std::string device;
    int number = -1;
    switch (kind()) {
        case InputKind::Logical: {
            const int i = DriveComboBox1->currentIndex();
            if (i < 0 || i >= static_cast<int>(volumes_.size())) return false;
            device = volumes_[static_cast<std::size_t>(i)].device;
            opened = input_.OpenLogicalDrive(device);
            break;
        }
        case InputKind::Physical: {
            const int row = ListBox1->currentRow();
            if (row < 0 || row >= static_cast<int>(physical_.size())) return false;
            const drive_info_t& d = physical_[static_cast<std::size_t>(row)];
            number = d.number;
            device = PhysicalDrivePath(number, input_.drives);
            opened = input_.OpenPhysicalDrive(number);
            break;
        }
        case InputKind::File:
            opened = input_.OpenInputFile(S(fname->text()));
            break;
    }
    if (!opened) {
        const int error = input_.last_error();
        if (kind() != InputKind::File && (error == EACCES || error == EPERM))
            return open_through_service(device, number);
        input_.status().Error("Can't open the input drive: %hs", InputErrorText(error));
        return false;
    }
    return true;
}

bool TAskDrive::ChooseInput(bool include_all) {
    for (;;) {
        prepare(include_all);
        if (exec() != QDialog::Accepted) return false;
        std::int64_t hint = -1;
        if (kind() == InputKind::Physical) {
            const int row = ListBox1->currentRow();
            if (row >= 0 && row < static_cast<int>(physical_.size()))
                hint = physical_[static_cast<std::size_t>(row)].size;
        }
        if (!open_chosen()) continue;  // asked again, with the same choices

        options_.autosize = autosize->isChecked();
        options_.cache = cache->isChecked();
        options_.thumbnail_rendering = ThumbnailRendering->isChecked();
        options_.expert_mode = ExpertMode->isChecked();
        std::int64_t size = 0;
        if (options_.autosize) {
            // A drive that reports no size is measured by reading, which can
            // take long: the wait box offers to stop it.
            bool shown = false;
            input_.size_search_poll = [&](std::int64_t, std::int64_t) {
                if (!shown) {
                    wait_.ShowWaitBox(
                        T("Determining the drive size.\nThis operation can take long time.\nPlease "
                          "wait..."));
                    shown = true;
                }
                return wait_.WaitBoxCancelled();
            };
            size = std::max<std::int64_t>(input_.InputSize(true, hint), 0);
            input_.size_search_poll = nullptr;
            if (shown) wait_.HideWaitBox();
        }
        input_.input_size = size;
        if (!ExpertMode->isChecked()) {
            size_form_.ResetExpertChoices();
            options_.ignore_fat = false;
            options_.fast_read = true;
            options_.sector_range = SectorRange{};
        }
        return true;
    }
}

}  // namespace lk::ui
