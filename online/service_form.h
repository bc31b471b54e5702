#pragma once

#include <QDialog>
#include <QString>
#include <QUrl>
#include <array>
#include <chrono>

#include "online/service_request.h"
#include "ui/message_boxes.h"

class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;

namespace korvid::online {

// Where the form sends and what it names; the program fills it from the vendor data, tests
// point `Server` at a server of their own.
struct ServiceFormSetup {
  QUrl Server;                // the service server with its port (8080 for the vendor's)
  QString ProgramName;
  QUrl ChatLink;              // "联系客服QQ"
  QUrl SecondSite;            // a click on the status bar
  QString StatusContact;      // the first status pane: service telephone and messaging contact
  std::chrono::milliseconds TimeOut = std::chrono::seconds(10);
};

// A kind of data or medium: its check box caption and the text it sends.
struct KindChoice {
  const char* Caption;
  const char* Sent;
};

inline constexpr std::array<KindChoice, 9> FaultChoices{{
    {"照片", "照片 "},
    {"视频", "视频 "},
    {"手机数据", "手机数据 "},
    {"数据库", "数据库 "},
    {"office文档", "office 文档 "},
    {"文件解密", "文件解密 "},
    {"U盘无法识别", "U盘无法识别 "},
    {"硬盘无法识别", "硬盘无法识别 "},
    {"其他", "其他 "},
}};

inline constexpr std::array<KindChoice, 6> MediumChoices{{
    {"硬盘，固态盘", "硬盘，固态盘 "},
    {"手机", "手机 "},
    {"U盘，存储卡", "U盘存储卡 "},
    {"服务器", "服务器 "},
    {"NAS，阵列柜", "nas,阵列柜 "},
    {"其他", "其他 "},
}};

// The service request window "联系工程师". Created once and hidden; each showing keeps what
// the user entered before. The controls are public so that tests use them as a user would.
class TForm3 final : public QDialog {
  Q_OBJECT

 public:
  TForm3(ServiceFormSetup setup, ui::MessageBoxes& boxes, ui::ShellServices& shell, QWidget* parent = nullptr);

  QLabel* sLabel1 = nullptr;
  QLabel* sLabel2 = nullptr;
  QLineEdit* sEdit1 = nullptr;  // name
  QLabel* sLabel3 = nullptr;
  QLineEdit* sEdit2 = nullptr;  // telephone
  QLabel* sLabel4 = nullptr;
  QLineEdit* sEdit3 = nullptr;  // instant-messaging number
  QGroupBox* sGroupBox1 = nullptr;
  std::array<QCheckBox*, FaultChoices.size()> FaultBoxes{};    // s1 to s9
  QGroupBox* sGroupBox2 = nullptr;
  std::array<QCheckBox*, MediumChoices.size()> MediumBoxes{};  // s10 to s15
  QLabel* sLabel5 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;  // remark
  QPushButton* sButton1 = nullptr;
  QPushButton* Button1 = nullptr;
  QStatusBar* sStatusBar1 = nullptr;

  // Recomputed on every submission.
  QString FaultKind;
  QString MediumKind;

  // The remark as the user's system writes it: every line break a carriage return and a line feed.
  QString Remark() const;

  void sButton1Click();
  // Sends the request; "发送成功！" only when the server answers with a 2xx status.
  void SubmitServiceRequest(const ServiceRequest& request);
  void Button1Click();
  void sStatusBar1Click();

 private:
  void BuildControls();

  ServiceFormSetup setup_;
  ui::MessageBoxes& boxes_;
  ui::ShellServices& shell_;
};

}  // namespace korvid::online
