// Builds the window's controls and wires them to their handlers.
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStackedLayout>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/main_window.h"
#include "app/tool_icons.h"
#include "app/vendor_info.h"

namespace korvid::app {
namespace {

QToolButton* AddToolButton(QToolBar* bar, const char* name, const QString& caption, ToolIcon icon, int width = 60) {
  auto* button = new QToolButton(bar);
  button->setObjectName(QString::fromLatin1(name));
  button->setText(caption);
  button->setIcon(MakeToolIcon(icon));
  button->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
  button->setFixedSize(width, 40);
  bar->addWidget(button);
  return button;
}

// A link label of the welcome panel: a click opens its page.
class LinkLabel final : public QLabel {
 public:
  LinkLabel(const QString& text, std::function<void()> clicked, QWidget* parent)
      : QLabel(text, parent), clicked_(std::move(clicked)) {
    setCursor(Qt::PointingHandCursor);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    QLabel::mouseReleaseEvent(event);
    clicked_();
  }

 private:
  std::function<void()> clicked_;
};

}  // namespace

void TfrmMain::BuildToolbar() {
  RzToolbar1 = new QToolBar(this);
  RzToolbar1->setObjectName(QStringLiteral("RzToolbar1"));
  RzToolbar1->setMovable(false);
  RzToolbar1->setFloatable(false);
  RzToolbar1->setFixedHeight(44);
  RzToolbar1->setIconSize(QSize(20, 20));
  RzToolbar1->setContextMenuPolicy(Qt::PreventContextMenu);
  addToolBar(Qt::TopToolBarArea, RzToolbar1);

  PopForTools = new QMenu(this);
  PopForTools->setObjectName(QStringLiteral("PopForTools"));
  for (const vendor::ToolGroup& group : vendor::ToolGroups) {
    QMenu* sub = PopForTools->addMenu(QString::fromUtf8(group.Caption));
    for (const char* item : group.Items) {
      if (item != nullptr) sub->addAction(QString::fromUtf8(item));
    }
  }
  ToolBoxBtn = AddToolButton(RzToolbar1, "ToolBoxBtn", QStringLiteral("工具箱"), ToolIcon::ToolBox, 74);
  ToolBoxBtn->setMenu(PopForTools);
  ToolBoxBtn->setPopupMode(QToolButton::InstantPopup);
  RzToolbar1->addSeparator();

  pop = new QMenu(this);
  pop->setObjectName(QStringLiteral("pop"));
  connect(pop, &QMenu::aboutToShow, this, &TfrmMain::RecBtnDropDown);
  connect(pop, &QMenu::triggered, this, &TfrmMain::SourceMenuClick);
  RecBtn = AddToolButton(RzToolbar1, "RecBtn", QStringLiteral("恢复目标"), ToolIcon::Target, 74);
  RecBtn->setMenu(pop);
  RecBtn->setPopupMode(QToolButton::InstantPopup);
  SaveBtn = AddToolButton(RzToolbar1, "SaveBtn", QStringLiteral("保存路径"), ToolIcon::Folder);
  connect(SaveBtn, &QToolButton::clicked, this, &TfrmMain::SaveBtnClick);
  BtnSelectAll = AddToolButton(RzToolbar1, "BtnSelectAll", QStringLiteral("选择样本"), ToolIcon::Sample);
  connect(BtnSelectAll, &QToolButton::clicked, this, &TfrmMain::BtnSelectAllClick);
  RzToolbar1->addSeparator();

  PopupMenu2 = new QMenu(this);
  PopupMenu2->setObjectName(QStringLiteral("PopupMenu2"));
  N9 = PopupMenu2->addAction(QStringLiteral("全盘恢复"), this, &TfrmMain::N9Click);
  N9->setObjectName(QStringLiteral("N9"));
  N10 = PopupMenu2->addAction(QStringLiteral("恢复剩余空间"), this, &TfrmMain::N10Click);
  N10->setObjectName(QStringLiteral("N10"));
  PopupMenu2->addSeparator();
  // Kept for as long as the program runs: it applies to every whole-disk and free-space run.
  DeepRecovery = PopupMenu2->addAction(QStringLiteral("完整恢复(含音频)"));
  DeepRecovery->setObjectName(QStringLiteral("DeepRecovery"));
  DeepRecovery->setCheckable(true);
  RunBtn = AddToolButton(RzToolbar1, "RunBtn", QStringLiteral("恢复"), ToolIcon::Run, 74);
  RunBtn->setMenu(PopupMenu2);
  RunBtn->setPopupMode(QToolButton::MenuButtonPopup);
  connect(RunBtn, &QToolButton::clicked, this, &TfrmMain::RunBtnClick);
  PauseBtn = AddToolButton(RzToolbar1, "PauseBtn", QStringLiteral("暂停"), ToolIcon::Pause);
  connect(PauseBtn, &QToolButton::clicked, this, &TfrmMain::PauseBtnClick);
  StopBtn = AddToolButton(RzToolbar1, "StopBtn", QStringLiteral("停止"), ToolIcon::Stop);
  connect(StopBtn, &QToolButton::clicked, this, &TfrmMain::StopBtnClick);
  RzToolbar1->addSeparator();

  UpdateBtn = AddToolButton(RzToolbar1, "UpdateBtn", QStringLiteral("在线升级"), ToolIcon::Update);
  connect(UpdateBtn, &QToolButton::clicked, this, &TfrmMain::UpdateBtnClick);
  SupportBtn = AddToolButton(RzToolbar1, "SupportBtn", QStringLiteral("技术支持"), ToolIcon::Support);
  connect(SupportBtn, &QToolButton::clicked, this, &TfrmMain::SupportBtnClick);
  RzToolbar1->addSeparator();

  helpBtn = AddToolButton(RzToolbar1, "helpBtn", QStringLiteral("帮助文档"), ToolIcon::Help);
  connect(helpBtn, &QToolButton::clicked, this, &TfrmMain::helpBtnClick);
  ExitBtn = AddToolButton(RzToolbar1, "ExitBtn", QStringLiteral("退出"), ToolIcon::Exit);
  connect(ExitBtn, &QToolButton::clicked, this, &TfrmMain::ExitBtnClick);
}

void TfrmMain::BuildMainMenu() {
  QMenuBar* MainMenu1 = menuBar();
  MainMenu1->setObjectName(QStringLiteral("MainMenu1"));
  QMenu* N1 = MainMenu1->addMenu(QStringLiteral("文件"));
  N1->setObjectName(QStringLiteral("N1"));
  N2 = N1->addAction(QStringLiteral("关闭"), this, &TfrmMain::N2Click);
  N2->setObjectName(QStringLiteral("N2"));
  QMenu* N3 = MainMenu1->addMenu(QStringLiteral("帮助"));
  N3->setObjectName(QStringLiteral("N3"));
  N4 = N3->addAction(QStringLiteral("帮助文档"), this, &TfrmMain::N4Click);
  N4->setObjectName(QStringLiteral("N4"));
  N3->addSeparator()->setObjectName(QStringLiteral("N8"));
  Update1 = N3->addAction(QStringLiteral("在线升级"), this, &TfrmMain::Update1Click);
  Update1->setObjectName(QStringLiteral("Update1"));
  N5 = N3->addAction(QStringLiteral("关于"), this, &TfrmMain::N5Click);
  N5->setObjectName(QStringLiteral("N5"));
}

void TfrmMain::BuildPanels() {
  BuildOutputFolderPanel();
  BuildLowerPane();

  Splitter2 = new QSplitter(Qt::Vertical, this);
  Splitter2->setObjectName(QStringLiteral("Splitter2"));
  Splitter2->setHandleWidth(3);
  Splitter2->setChildrenCollapsible(false);
  Splitter2->addWidget(RzPanel1);
  Splitter2->addWidget(RzPanel2);
  Splitter2->setSizes({365, 144});
  Splitter2->setStretchFactor(1, 1);
  setCentralWidget(Splitter2);
}

void TfrmMain::BuildLowerPane() {
  RzPanel2 = new QWidget(this);
  RzPanel2->setObjectName(QStringLiteral("RzPanel2"));
  auto* stack = new QStackedLayout(RzPanel2);
  stack->setContentsMargins(0, 0, 0, 0);

  ScanLog = new QTextEdit(RzPanel2);
  ScanLog->setObjectName(QStringLiteral("ScanLog"));
  ScanLog->setReadOnly(true);
  ScanLog->append(QString::fromUtf8(vendor::WelcomeFirstSentence));
  for (const char* line : vendor::WelcomeContactLines) ScanLog->append(QString::fromUtf8(line));

  // The welcome panel lies over ScanLog; its controls sit where they were designed.
  Panel1 = new QWidget(RzPanel2);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setAutoFillBackground(true);
  const auto bigButton = [this](const char* name, const QString& caption, int left) {
    auto* button = new QPushButton(caption, Panel1);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(left, 48, 153, 49);
    QFont font = button->font();
    font.setPixelSize(16);
    button->setFont(font);
    return button;
  };
  RzBitBtn1 = bigButton("RzBitBtn1", QStringLiteral("开始扫描"), 24);
  RzBitBtn2 = bigButton("RzBitBtn2", QStringLiteral("人工服务"), 208);
  RzBitBtn3 = bigButton("RzBitBtn3", QStringLiteral("访问官网"), 392);
  connect(RzBitBtn1, &QPushButton::clicked, this, &TfrmMain::RzBitBtn1Click);
  connect(RzBitBtn2, &QPushButton::clicked, this, &TfrmMain::RzBitBtn2Click);
  connect(RzBitBtn3, &QPushButton::clicked, this, &TfrmMain::RzBitBtn3Click);

  QFont linkFont;
  linkFont.setFamilies({QStringLiteral("微软雅黑"), QStringLiteral("Microsoft YaHei"), QStringLiteral("WenQuanYi Zen Hei")});
  linkFont.setPixelSize(19);
  linkFont.setUnderline(true);
  sLabelFX1 = new LinkLabel(QString::fromUtf8(vendor::ChatLabelText), [this] { sLabelFX1Click(); }, Panel1);
  sLabelFX2 = new LinkLabel(QString::fromUtf8(vendor::WebLabelText), [this] { sLabelFX2Click(); }, Panel1);
  sLabelFX1->setObjectName(QStringLiteral("sLabelFX1"));
  sLabelFX2->setObjectName(QStringLiteral("sLabelFX2"));
  for (QLabel* label : {sLabelFX1, sLabelFX2}) {
    label->setFont(linkFont);
    label->setFixedSize(400, 28);
  }
  sLabelFX1->move(576, 32);
  sLabelFX2->move(576, 72);

  stack->addWidget(ScanLog);
  stack->addWidget(Panel1);
  stack->setCurrentWidget(Panel1);
}

void TfrmMain::BuildStatusBar() {
  RzStatusBar1 = statusBar();
  RzStatusBar1->setObjectName(QStringLiteral("RzStatusBar1"));
  RzStatusBar1->setSizeGripEnabled(false);
  RzStatusBar1->setFixedHeight(19);

  TimeLabel = new QLabel(QStringLiteral("剩余时间:"), RzStatusBar1);
  TimeLabel->setObjectName(QStringLiteral("TimeLabel"));
  TimeLabel->setFixedWidth(161);
  SegLabel = new QLabel(QStringLiteral("发现碎片:"), RzStatusBar1);
  SegLabel->setObjectName(QStringLiteral("SegLabel"));
  SegLabel->setFixedWidth(183);

  // Holders of the choices, never shown.
  Source = new QLineEdit(RzStatusBar1);
  Source->setObjectName(QStringLiteral("Source"));
  Source->setFixedWidth(65);
  Source->setVisible(false);
  connect(Source, &QLineEdit::textChanged, this, &TfrmMain::SourceChange);
  Edit1 = new QLineEdit(QString::fromUtf8(NoOutputFolderText), RzStatusBar1);
  Edit1->setObjectName(QStringLiteral("Edit1"));
  Edit1->setFixedWidth(64);
  Edit1->setVisible(false);

  gg = new QProgressBar(RzStatusBar1);
  gg->setObjectName(QStringLiteral("gg"));
  gg->setRange(0, 100);
  gg->setValue(0);
  gg->setTextVisible(true);

  RzStatusBar1->addWidget(TimeLabel);
  RzStatusBar1->addWidget(SegLabel);
  RzStatusBar1->addWidget(Source);
  RzStatusBar1->addWidget(Edit1);
  RzStatusBar1->addWidget(gg, 1);
}

}  // namespace korvid::app
