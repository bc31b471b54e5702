#include "app/main_window.h"

#include "engine/program_version.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenuBar>
#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QUrl>

#include "app/program_name.h"
#include "app/tool_icons.h"
#include "app/vendor_info.h"
#include "online/service_form.h"
#include "online/update_check.h"

namespace korvid::app {

TfrmMain::TfrmMain(MainWindowServices services, QWidget* parent)
    : QMainWindow(parent), services_(std::move(services)) {
  setObjectName(QStringLiteral("frmMain"));
  // Fixed single border with system menu and minimise box only.
  setWindowIcon(MakeToolIcon(ToolIcon::Program));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  QFont font;
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei")});
  font.setPixelSize(12);
  setFont(font);

  od = new QFileDialog(this);
  od->setObjectName(QStringLiteral("od"));
  od->setFileMode(QFileDialog::ExistingFile);
  od->setAcceptMode(QFileDialog::AcceptOpen);
  // Qt's own dialog: the same on every desktop, and it works where no portal answers.
  od->setOption(QFileDialog::DontUseNativeDialog);

  ElapsedTime = new QTimer(this);
  ElapsedTime->setInterval(1000);
  connect(ElapsedTime, &QTimer::timeout, this, &TfrmMain::ElapsedTimeTimer);

  BuildToolbar();
  BuildMainMenu();
  BuildPanels();
  BuildStatusBar();
  BuildTray();
  FormCreate();
  updateCheck_ = std::make_unique<online::UpdateCheck>(
      online::UpdateCheckSetup{.Server = services_.UpdateServer,
                               .ProgramName = ProgramName,
                               .ProgramVersion = QString::fromUtf8(ProgramVersion),
                               .WebSite = QUrl(QString::fromUtf8(vendor::HomePage))},
      services_.Boxes, services_.Shell);
  Form3 = new online::TForm3({.Server = services_.ServiceServer,
                              .ProgramName = ProgramName,
                              .ChatLink = QUrl(QString::fromUtf8(vendor::ChatLink)),
                              .SecondSite = QUrl(QString::fromUtf8(vendor::SecondSite)),
                              .StatusContact = QString::fromUtf8(vendor::ServiceStatusText)},
                             services_.Boxes, services_.Shell, this);

  // The client area below the menu bar is 995 × 575; the user cannot resize it.
  setFixedSize(995, 575 + menuBar()->sizeHint().height());
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }
}

TfrmMain::~TfrmMain() {
  // The worker reads StopRequested; it has to end while the flag is still there.
  runner_.reset();
}

void TfrmMain::FormCreate() {
  sm.SetTheme(ThemeForTickCount(services_.TickCount), *this);
  ProgramName = ProgramNameFromPath(services_.ExecutablePath);
  setWindowTitle(MainCaption(ProgramName));
  QGuiApplication::setApplicationDisplayName(windowTitle());
  setWindowTitle(QGuiApplication::applicationDisplayName());
}

void TfrmMain::ClearOpenDialog() {
  od->setDefaultSuffix(QString());
  od->selectFile(QString());
  od->setNameFilters({});
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  // The window goes away only once the run in progress has gone through its closing steps.
  if (Running()) {
    closeWhenRunEnds_ = true;
    event->ignore();
    return;
  }
  if (Tray != nullptr) Tray->hide();
  event->accept();
}

void TfrmMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  // Minimised, only the notification-area icon remains.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && Tray != nullptr && Tray->isVisible()) {
    QTimer::singleShot(0, this, &QWidget::hide);
  }
}

void TfrmMain::BuildTray() {
  Tray = new QSystemTrayIcon(windowIcon(), this);
  Tray->setToolTip(QString::fromUtf8(vendor::TrayHint));
  connect(Tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::DoubleClick) return;
    showNormal();
    raise();
    activateWindow();
  });
  if (QSystemTrayIcon::isSystemTrayAvailable()) Tray->show();
}

void TfrmMain::N2Click() {
  StopRequested = true;
  close();
}

void TfrmMain::ExitBtnClick() {
  close();
}

void TfrmMain::N4Click() {
  helpBtn->click();
}

void TfrmMain::Update1Click() {
  // Straight to the handler: a run disables UpdateBtn, but the menu item still reaches it.
  UpdateBtnClick();
}

void TfrmMain::UpdateBtnClick() {
  updateCheck_->UpdateBtnClick(this);
}

void TfrmMain::helpBtnClick() {
  const QString folder = QFileInfo(services_.ExecutablePath).absolutePath();
  services_.Shell.Open(QUrl::fromLocalFile(QDir(folder).filePath(QStringLiteral("help.chm"))));
}

void TfrmMain::OpenPage(const char* address) {
  services_.Shell.Open(QUrl(QString::fromUtf8(address)));
}

void TfrmMain::N5Click() {
  OpenPage(vendor::HomePage);
}

void TfrmMain::SupportBtnClick() {
  OpenPage(vendor::HomePage);
}

void TfrmMain::RzBitBtn1Click() {
  services_.Boxes.Inform(this, QStringLiteral("请点击快捷方式栏中的恢复目标按钮，选择需要扫描的磁盘！"));
}

void TfrmMain::RzBitBtn2Click() {
  services_.Boxes.Inform(this, QStringLiteral("即将为您接通人工服务，请如实填写资料，工程师将主动与您联系。"));
  Form3->exec();
}

void TfrmMain::RzBitBtn3Click() {
  OpenPage(vendor::HomePage);
}

void TfrmMain::sLabelFX1Click() {
  OpenPage(vendor::ChatLink);
}

void TfrmMain::sLabelFX2Click() {
  OpenPage(vendor::HomePage);
}

}  // namespace korvid::app
