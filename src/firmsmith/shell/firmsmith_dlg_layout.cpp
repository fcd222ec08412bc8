// The main dialog's controls and layout: four groups side by side under the
// input row, sized for a 1366x768 screen, tab order following reading order.
// Captions are the keys of the language table; TranslateWindow retitles them.
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "firmsmith/shell/firmsmith_dlg.h"
#include "firmsmith/shell/flash_layout_bar.h"

namespace shell {
namespace {

// The caption of the iOS box: the leading "." makes the language table's
// fallback show everything after it, so the link prefix reads as it stands.
constexpr char kIosCaption[] = ".iOS   https://apps.apple.com/app/";

QCheckBox* NewCheck(QWidget* parent, const char* caption, const char* name) {
  auto* box = new QCheckBox(QString::fromUtf8(caption), parent);
  box->setObjectName(QString::fromLatin1(name));
  return box;
}

QLineEdit* NewEdit(QWidget* parent, const char* name) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  return edit;
}

QPushButton* NewBrowse(QWidget* parent, const char* name) {
  auto* button = new QPushButton(QStringLiteral("Browse"), parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setAutoDefault(false);
  return button;
}

QLabel* NewLabel(QWidget* parent, const char* caption, const char* name) {
  auto* label = new QLabel(QString::fromUtf8(caption), parent);
  label->setObjectName(QString::fromLatin1(name));
  return label;
}

QComboBox* NewTypeList(QWidget* parent, const std::string& name) {
  auto* list = new QComboBox(parent);
  list->setObjectName(QString::fromStdString(name));
  return list;
}

// Adds a check / path / Browse row to a grid; the Browse sits in column 2.
CFirmsmithDlg::OptionRow AddOptionRow(QWidget* parent, QGridLayout* grid, int row,
                                      const char* caption, const char* name) {
  CFirmsmithDlg::OptionRow r;
  const std::string base(name);
  r.check = NewCheck(parent, caption, (base + "Check").c_str());
  r.path = NewEdit(parent, (base + "Path").c_str());
  r.browse = NewBrowse(parent, (base + "Browse").c_str());
  grid->addWidget(r.check, row, 0);
  grid->addWidget(r.path, row, 1);
  grid->addWidget(r.browse, row, 2);
  return r;
}

QIcon DrawCheckIcon(bool ticked) {
  QPixmap pixmap(16, 16);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setPen(QPen(QColor(0x55, 0x55, 0x55), 1));
  painter.setBrush(Qt::white);
  painter.drawRect(QRectF(1.5, 1.5, 12, 12));
  if (ticked) {
    painter.setPen(QPen(QColor(0x1a, 0x73, 0x2e), 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF tick[] = {{4, 8}, {6.8, 11}, {12, 4.5}};
    painter.drawPolyline(tick, 3);
  }
  return QIcon(pixmap);
}

}  // namespace

void CFirmsmithDlg::MakeCheckIcons() {
  uncheckedIcon_ = DrawCheckIcon(false);
  checkedIcon_ = DrawCheckIcon(true);
}

QGroupBox* CFirmsmithDlg::CreateInputGroup() {
  auto* group = new QGroupBox(QStringLiteral("Input"), this);
  group->setObjectName(QStringLiteral("inputGroup"));
  auto* row = new QHBoxLayout(group);
  row->addWidget(NewLabel(group, "Type", "typeLabel"));
  c_.packageType = new QComboBox(group);
  c_.packageType->setObjectName(QStringLiteral("packageType"));
  c_.packageType->setMinimumContentsLength(22);
  row->addWidget(c_.packageType);
  row->addSpacing(12);
  auto* fileLabel = NewLabel(group, "OriginalFile", "originalFileLabel");
  row->addWidget(fileLabel);
  c_.originalFile = NewEdit(group, "originalFile");
  fileLabel->setBuddy(c_.originalFile);
  row->addWidget(c_.originalFile, 1);
  c_.originalBrowse = NewBrowse(group, "originalBrowse");
  row->addWidget(c_.originalBrowse);
  return group;
}

QGroupBox* CFirmsmithDlg::CreateProductGroup() {
  auto* group = new QGroupBox(QStringLiteral("Products"), this);
  group->setObjectName(QStringLiteral("productGroup"));
  auto* column = new QVBoxLayout(group);
  c_.productFilter = NewEdit(group, "productFilter");
  c_.productFilter->setClearButtonEnabled(true);
  column->addWidget(c_.productFilter);
  c_.productTree = new QTreeWidget(group);
  c_.productTree->setObjectName(QStringLiteral("productTree"));
  c_.productTree->setHeaderHidden(true);
  // Column 1 holds the warning of a product file that cannot be used as written.
  c_.productTree->setColumnCount(2);
  c_.productTree->header()->setStretchLastSection(false);
  c_.productTree->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  c_.productTree->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  c_.productTree->setRootIsDecorated(false);
  c_.productTree->setIconSize(QSize(16, 16));
  c_.productTree->setMinimumWidth(210);
  column->addWidget(c_.productTree, 1);
  return group;
}

QGroupBox* CFirmsmithDlg::CreatePartitionGroup() {
  auto* group = new QGroupBox(QStringLiteral("Partitions"), this);
  group->setObjectName(QStringLiteral("partitionGroup"));
  auto* column = new QVBoxLayout(group);
  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  column->addLayout(grid);

  struct RowSpec {
    int slot;
    const char* caption;
    const char* name;
  };
  static const RowSpec kRows[kRowCount] = {
      {package::kSlotWeb, "web-x", "web"},       {package::kSlotLogo, "logo-x", "logo"},
      {package::kSlotUser, "user-x", "user"},    {package::kSlotRomfs, "romfs-x", "romfs"},
      {package::kSlotCustom, "custom-x", "custom"}, {package::kSlotApp, "app-x", "app"},
      {package::kSlotYlk, "ylk-x", "ylk"},
  };
  int gridRow = 0;
  for (int i = 0; i < kRowCount; ++i) {
    PartitionRow& r = c_.rows[i];
    const std::string base = kRows[i].name;
    r.slot = kRows[i].slot;
    r.check = NewCheck(group, kRows[i].caption, (base + "Check").c_str());
    r.path = NewEdit(group, (base + "Path").c_str());
    r.browse = NewBrowse(group, (base + "Browse").c_str());
    r.type = NewTypeList(group, base + "Type");
    if (i == kRowApp || i == kRowYlk) {
      // Rows this dialog keeps out of sight; their options keep their start values.
      r.container = new QWidget(group);
      r.container->setObjectName(QString::fromStdString(base + "Row"));
      auto* hidden = new QHBoxLayout(r.container);
      for (QWidget* w : {static_cast<QWidget*>(r.check), static_cast<QWidget*>(r.path),
                         static_cast<QWidget*>(r.browse), static_cast<QWidget*>(r.type)}) {
        w->setParent(r.container);
        hidden->addWidget(w);
      }
      column->addWidget(r.container);
      continue;
    }
    grid->addWidget(r.check, gridRow, 0);
    grid->addWidget(r.path, gridRow, 1);
    grid->addWidget(r.browse, gridRow, 2);
    grid->addWidget(r.type, gridRow, 3);
    ++gridRow;
  }

  auto* separator = new QFrame(group);
  separator->setFrameShape(QFrame::HLine);
  separator->setFrameShadow(QFrame::Sunken);
  grid->addWidget(separator, gridRow++, 0, 1, 4);

  c_.ubootLogo = AddOptionRow(group, grid, gridRow++, "uboot logo制作", "ubootLogo");
  c_.ubootLogoType = NewTypeList(group, "ubootLogoType");
  c_.ubootLogoType->setVisible(false);
  c_.romfs2 = AddOptionRow(group, grid, gridRow++, "romfs2-x", "romfs2");
  c_.param = AddOptionRow(group, grid, gridRow++, "param-x", "param");
  c_.restoreDefaults = NewCheck(group, "升级后全部恢复默认", "restoreDefaults");
  grid->addWidget(c_.restoreDefaults, gridRow++, 0, 1, 4);
  c_.unmountPartitions = NewCheck(group, "升级前先卸载分区", "unmountPartitions");
  grid->addWidget(c_.unmountPartitions, gridRow++, 0, 1, 4);
  c_.oemDevType = NewCheck(group, "OEM_DevType", "oemDevType");
  c_.oemDevTypeText = NewEdit(group, "oemDevTypeText");
  grid->addWidget(c_.oemDevType, gridRow, 0);
  grid->addWidget(c_.oemDevTypeText, gridRow++, 1);
  column->addStretch(1);
  return group;
}

QGroupBox* CFirmsmithDlg::CreateDeviceGroup() {
  auto* group = new QGroupBox(QStringLiteral("Device"), this);
  group->setObjectName(QStringLiteral("deviceGroup"));
  auto* grid = new QGridLayout(group);
  c_.fromDevice = NewCheck(group, "From Device", "fromDevice");
  grid->addWidget(c_.fromDevice, 0, 0, 1, 4);
  c_.deviceLabels[0] = NewLabel(group, "IP", "deviceIpLabel");
  c_.deviceIp = new IpAddressEdit(group);
  c_.deviceIp->setObjectName(QStringLiteral("deviceIp"));
  c_.deviceLabels[1] = NewLabel(group, "Port", "devicePortLabel");
  c_.devicePort = NewEdit(group, "devicePort");
  c_.devicePort->setMaximumWidth(90);
  c_.deviceLabels[2] = NewLabel(group, "UserName", "userNameLabel");
  c_.userName = NewEdit(group, "userName");
  c_.deviceLabels[3] = NewLabel(group, "Password", "passwordLabel");
  c_.password = NewEdit(group, "password");
  c_.password->setEchoMode(QLineEdit::Password);
  grid->addWidget(c_.deviceLabels[0], 1, 0);
  grid->addWidget(c_.deviceIp, 1, 1);
  grid->addWidget(c_.deviceLabels[1], 1, 2);
  grid->addWidget(c_.devicePort, 1, 3);
  grid->addWidget(c_.deviceLabels[2], 2, 0);
  grid->addWidget(c_.userName, 2, 1);
  grid->addWidget(c_.deviceLabels[3], 2, 2);
  grid->addWidget(c_.password, 2, 3);
  c_.copyUsers = NewCheck(group, "CopyUsers", "copyUsers");
  grid->addWidget(c_.copyUsers, 3, 0, 1, 4);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  c_.deviceLabels[1]->setBuddy(c_.devicePort);
  c_.deviceLabels[2]->setBuddy(c_.userName);
  c_.deviceLabels[3]->setBuddy(c_.password);
  return group;
}

QGroupBox* CFirmsmithDlg::CreateCustomisationGroup() {
  auto* group = new QGroupBox(QStringLiteral("Customisation"), this);
  group->setObjectName(QStringLiteral("customisationGroup"));
  auto* column = new QVBoxLayout(group);

  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  c_.strings = AddOptionRow(group, grid, 0, "Strings", "strings");
  c_.advance = new QPushButton(QStringLiteral("advance"), group);
  c_.advance->setObjectName(QStringLiteral("advance"));
  c_.advance->setAutoDefault(false);
  grid->addWidget(c_.advance, 0, 3);
  c_.pictures = AddOptionRow(group, grid, 1, "Pictures", "pictures");
  c_.configs = AddOptionRow(group, grid, 2, "Configs", "configs");
  column->addLayout(grid);

  c_.line = new QFrame(group);
  c_.line->setObjectName(QStringLiteral("line"));
  c_.line->setFrameShape(QFrame::HLine);
  c_.line->setFrameShadow(QFrame::Sunken);
  column->addWidget(c_.line);
  column->addWidget(CreateDeviceGroup());

  auto* links = new QGridLayout;
  links->setColumnStretch(2, 1);
  c_.appDownloadLink = NewCheck(group, "AppDownloadLink", "appDownloadLink");
  links->addWidget(c_.appDownloadLink, 0, 0, 1, 2);
  c_.sn = NewCheck(group, "SN", "sn");
  links->addWidget(c_.sn, 0, 2);
  c_.ios = NewCheck(group, kIosCaption, "ios");
  c_.iosLink = NewEdit(group, "iosLink");
  links->addWidget(c_.ios, 1, 0, 1, 2);
  links->addWidget(c_.iosLink, 1, 2, 1, 2);
  c_.android = NewCheck(group, "Android", "android");
  c_.androidLink = NewEdit(group, "androidLink");
  links->addWidget(c_.android, 2, 0, 1, 2);
  links->addWidget(c_.androidLink, 2, 2, 1, 2);
  c_.other = NewCheck(group, "Other", "other");
  c_.otherNameLabel = NewLabel(group, "Name", "otherNameLabel");
  c_.otherName = NewEdit(group, "otherName");
  c_.otherContentLabel = NewLabel(group, "Content", "otherContentLabel");
  c_.otherContent = NewEdit(group, "otherContent");
  links->addWidget(c_.other, 3, 0);
  links->addWidget(c_.otherNameLabel, 3, 1);
  links->addWidget(c_.otherName, 3, 2, 1, 2);
  links->addWidget(c_.otherContentLabel, 4, 1);
  links->addWidget(c_.otherContent, 4, 2, 1, 2);
  c_.otherNameLabel->setBuddy(c_.otherName);
  c_.otherContentLabel->setBuddy(c_.otherContent);
  column->addLayout(links);

  auto* cloud = new QHBoxLayout;
  c_.cloudServer = NewCheck(group, "CloudServer", "cloudServer");
  c_.cloudAddressLabel = NewLabel(group, "Address", "cloudAddressLabel");
  c_.cloudAddress = NewEdit(group, "cloudAddress");
  c_.cloudPortLabel = NewLabel(group, "Port", "cloudPortLabel");
  c_.cloudPort = NewEdit(group, "cloudPort");
  c_.cloudPort->setMaximumWidth(80);
  c_.cloudAddressLabel->setBuddy(c_.cloudAddress);
  c_.cloudPortLabel->setBuddy(c_.cloudPort);
  cloud->addWidget(c_.cloudServer);
  cloud->addWidget(c_.cloudAddressLabel);
  cloud->addWidget(c_.cloudAddress, 1);
  cloud->addWidget(c_.cloudPortLabel);
  cloud->addWidget(c_.cloudPort);
  column->addLayout(cloud);

  auto* model = new QHBoxLayout;
  c_.deviceModel = NewCheck(group, "DeviceModel", "deviceModel");
  c_.deviceModelText = NewEdit(group, "deviceModelText");
  model->addWidget(c_.deviceModel);
  model->addWidget(c_.deviceModelText, 1);
  column->addLayout(model);

  c_.closeOnlineUpgrade = NewCheck(group, "Close online upgrade", "closeOnlineUpgrade");
  column->addWidget(c_.closeOnlineUpgrade);

  auto* gain = new QHBoxLayout;
  c_.lineInGain = NewCheck(group, "LineInGain", "lineInGain");
  auto* left = NewLabel(group, "LineInLeft", "lineInLeftLabel");
  c_.lineInLeft = new QComboBox(group);
  c_.lineInLeft->setObjectName(QStringLiteral("lineInLeft"));
  auto* right = NewLabel(group, "LineInRight", "lineInRightLabel");
  c_.lineInRight = new QComboBox(group);
  c_.lineInRight->setObjectName(QStringLiteral("lineInRight"));
  left->setBuddy(c_.lineInLeft);
  right->setBuddy(c_.lineInRight);
  gain->addWidget(c_.lineInGain);
  gain->addWidget(left);
  gain->addWidget(c_.lineInLeft);
  gain->addWidget(right);
  gain->addWidget(c_.lineInRight);
  gain->addStretch(1);
  column->addLayout(gain);

  auto* mac = new QHBoxLayout;
  c_.macLabel = NewLabel(group, "Mac        ", "macLabel");
  c_.mac = NewEdit(group, "mac");
  mac->addWidget(c_.macLabel);
  mac->addWidget(c_.mac, 1);
  column->addLayout(mac);
  column->addStretch(1);
  return group;
}

void CFirmsmithDlg::CreateControls() {
  setObjectName(QStringLiteral("CFirmsmithDlg"));
  setWindowTitle(QStringLiteral("Firmsmith"));
  MakeCheckIcons();

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(CreateInputGroup());
  auto* columns = new QHBoxLayout;
  // The chip picture sits under the products, beside the partitions it draws.
  auto* left = new QVBoxLayout;
  left->addWidget(CreateProductGroup(), 1);
  auto* chip = new QGroupBox(QStringLiteral("Flash layout"), this);
  chip->setObjectName(QStringLiteral("layoutGroup"));
  auto* chipColumn = new QVBoxLayout(chip);
  chipColumn->setContentsMargins(2, 2, 2, 2);
  c_.layoutBar = new FlashLayoutBar(chip);
  chipColumn->addWidget(c_.layoutBar);
  left->addWidget(chip, 2);
  columns->addLayout(left, 2);
  columns->addWidget(CreatePartitionGroup(), 4);
  columns->addWidget(CreateCustomisationGroup(), 4);
  layout->addLayout(columns, 1);

  c_.progressPanel = new QWidget(this);
  c_.progressPanel->setObjectName(QStringLiteral("progressPanel"));
  auto* progress = new QHBoxLayout(c_.progressPanel);
  progress->setContentsMargins(0, 0, 0, 0);
  c_.progressText = new QLabel(c_.progressPanel);
  c_.progressText->setObjectName(QStringLiteral("progressText"));
  c_.progressBar = new QProgressBar(c_.progressPanel);
  c_.progressBar->setObjectName(QStringLiteral("progressBar"));
  c_.progressBar->setTextVisible(false);
  progress->addWidget(c_.progressText, 3);
  progress->addWidget(c_.progressBar, 2);
  c_.progressPanel->setVisible(false);  // only while a build runs
  layout->addWidget(c_.progressPanel);

  auto* buttons = new QHBoxLayout;
  c_.about = new QPushButton(QStringLiteral("About Firmsmith"), this);
  c_.about->setObjectName(QStringLiteral("about"));
  c_.about->setAutoDefault(false);
  buttons->addWidget(c_.about);
  buttons->addStretch(1);
  c_.ok = new QPushButton(QStringLiteral("Ok"), this);
  c_.ok->setObjectName(QStringLiteral("ok"));
  c_.ok->setDefault(true);
  c_.cancel = new QPushButton(QStringLiteral("Cancel"), this);
  c_.cancel->setObjectName(QStringLiteral("cancel"));
  c_.cancel->setAutoDefault(false);
  buttons->addWidget(c_.ok);
  buttons->addWidget(c_.cancel);
  layout->addLayout(buttons);

  // Fits a 1366x768 screen with room for the window frame and a task bar.
  resize(QSize(1320, 680).expandedTo(minimumSizeHint()));

  // Reading order: input row, products, partitions, customisation, buttons.
  QWidget* order[] = {
      c_.packageType, c_.originalFile, c_.originalBrowse, c_.productFilter, c_.productTree,
      c_.rows[kRowWeb].check, c_.rows[kRowWeb].path, c_.rows[kRowWeb].browse, c_.rows[kRowWeb].type,
      c_.rows[kRowLogo].check, c_.rows[kRowLogo].path, c_.rows[kRowLogo].browse, c_.rows[kRowLogo].type,
      c_.rows[kRowUser].check, c_.rows[kRowUser].path, c_.rows[kRowUser].browse, c_.rows[kRowUser].type,
      c_.rows[kRowRomfs].check, c_.rows[kRowRomfs].path, c_.rows[kRowRomfs].browse, c_.rows[kRowRomfs].type,
      c_.rows[kRowCustom].check, c_.rows[kRowCustom].path, c_.rows[kRowCustom].browse, c_.rows[kRowCustom].type,
      c_.ubootLogo.check, c_.ubootLogo.path, c_.ubootLogo.browse,
      c_.romfs2.check, c_.romfs2.path, c_.romfs2.browse,
      c_.param.check, c_.param.path, c_.param.browse, c_.restoreDefaults,
      c_.strings.check, c_.strings.path, c_.strings.browse, c_.advance,
      c_.pictures.check, c_.pictures.path, c_.pictures.browse,
      c_.configs.check, c_.configs.path, c_.configs.browse,
      c_.deviceIp, c_.devicePort, c_.userName, c_.password, c_.copyUsers,
      c_.appDownloadLink, c_.sn, c_.ios, c_.iosLink, c_.android, c_.androidLink,
      c_.other, c_.otherName, c_.otherContent,
      c_.cloudServer, c_.cloudAddress, c_.cloudPort, c_.deviceModel, c_.deviceModelText,
      c_.closeOnlineUpgrade, c_.lineInGain, c_.lineInLeft, c_.lineInRight,
      c_.ok, c_.cancel, c_.about,
  };
  for (std::size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
}

}  // namespace shell
