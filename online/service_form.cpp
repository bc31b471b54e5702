#include "online/service_form.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <functional>

#include "online/http_exchange.h"

namespace korvid::online {

namespace {

// The name and the telephone take at most 20 bytes, the remark 500.
constexpr qsizetype FieldLimit = 20;
constexpr qsizetype RemarkLimit = 500;

class ClickableStatusBar final : public QStatusBar {
 public:
  ClickableStatusBar(std::function<void()> clicked, QWidget* parent)
      : QStatusBar(parent), clicked_(std::move(clicked)) {}

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    QStatusBar::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) clicked_();
  }

 private:
  std::function<void()> clicked_;
};

QString FirstTicked(const auto& boxes, const auto& choices) {
  for (size_t i = 0; i < boxes.size(); ++i) {
    if (boxes[i]->isChecked()) return QString::fromUtf8(choices[i].Sent);
  }
  return {};
}

}  // namespace

TForm3::TForm3(ServiceFormSetup setup, ui::MessageBoxes& boxes, ui::ShellServices& shell, QWidget* parent)
    : QDialog(parent), setup_(std::move(setup)), boxes_(boxes), shell_(shell) {
  setObjectName(QStringLiteral("Form3"));
  setWindowTitle(QStringLiteral("联系工程师"));
  QFont font;
  font.setFamilies({QStringLiteral("宋体"), QStringLiteral("SimSun"), QStringLiteral("WenQuanYi Zen Hei")});
  font.setPixelSize(12);
  setFont(font);
  BuildControls();
  setFixedSize(371, 590);
}

void TForm3::BuildControls() {
  const auto label = [this](const char* name, const QString& text, int left, int top, int width) {
    auto* l = new QLabel(text, this);
    l->setObjectName(QString::fromLatin1(name));
    l->setGeometry(left, top, width, 16);
    return l;
  };
  const auto edit = [this](const char* name, int left, int top) {
    auto* e = new QLineEdit(this);
    e->setObjectName(QString::fromLatin1(name));
    e->setGeometry(left, top, 355 - left, 22);
    return e;
  };
  // Check boxes fill two columns row by row.
  const auto checkBoxes = [](QGroupBox* group, const auto& choices, auto& boxes, int firstNumber) {
    for (size_t i = 0; i < choices.size(); ++i) {
      auto* box = new QCheckBox(QString::fromUtf8(choices[i].Caption), group);
      box->setObjectName(QStringLiteral("s%1").arg(firstNumber + static_cast<int>(i)));
      box->setGeometry(i % 2 == 0 ? 14 : 174, 22 + static_cast<int>(i / 2) * 24, 150, 20);
      boxes[i] = box;
    }
  };

  sLabel1 = label("sLabel1", QStringLiteral("填写表单内容，工程师将在5分钟内与您联系："), 16, 14, 340);
  sLabel2 = label("sLabel2", QStringLiteral("*  您的称呼："), 16, 48, 120);
  sEdit1 = edit("sEdit1", 150, 45);
  sLabel3 = label("sLabel3", QStringLiteral("*  您的电话号码："), 16, 80, 130);
  sEdit2 = edit("sEdit2", 150, 77);
  sLabel4 = label("sLabel4", QStringLiteral("QQ号码(没有可以不填)："), 16, 112, 134);
  sEdit3 = edit("sEdit3", 150, 109);

  sGroupBox1 = new QGroupBox(QStringLiteral("要恢复的类型"), this);
  sGroupBox1->setObjectName(QStringLiteral("sGroupBox1"));
  sGroupBox1->setGeometry(16, 142, 339, 144);
  checkBoxes(sGroupBox1, FaultChoices, FaultBoxes, 1);

  sGroupBox2 = new QGroupBox(QStringLiteral("存储介质"), this);
  sGroupBox2->setObjectName(QStringLiteral("sGroupBox2"));
  sGroupBox2->setGeometry(16, 294, 339, 96);
  checkBoxes(sGroupBox2, MediumChoices, MediumBoxes, 10);

  sLabel5 = label("sLabel5", QStringLiteral("备注：（可以填写详细一点的情况，方便工程师了解情况）"), 16, 398, 340);
  Memo1 = new QPlainTextEdit(this);
  Memo1->setObjectName(QStringLiteral("Memo1"));
  Memo1->setGeometry(16, 418, 339, 88);

  const auto button = [this](const char* name, const QString& caption, int left) {
    auto* b = new QPushButton(caption, this);
    b->setObjectName(QString::fromLatin1(name));
    b->setGeometry(left, 518, 120, 30);
    // Enter in a field does not submit: only a click on the button does.
    b->setAutoDefault(false);
    return b;
  };
  sButton1 = button("sButton1", QStringLiteral("提交表单"), 50);
  Button1 = button("Button1", QStringLiteral("联系客服QQ"), 200);
  connect(sButton1, &QPushButton::clicked, this, &TForm3::sButton1Click);
  connect(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);

  sStatusBar1 = new ClickableStatusBar([this] { sStatusBar1Click(); }, this);
  sStatusBar1->setObjectName(QStringLiteral("sStatusBar1"));
  sStatusBar1->setSizeGripEnabled(false);
  sStatusBar1->setGeometry(0, 568, 371, 22);
  auto* contact = new QLabel(setup_.StatusContact, sStatusBar1);
  contact->setFixedWidth(300);
  auto* second = new QLabel(sStatusBar1);
  second->setFixedWidth(50);
  sStatusBar1->addWidget(contact);
  sStatusBar1->addWidget(second);
}

QString TForm3::Remark() const {
  return Memo1->toPlainText().replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
}

void TForm3::sButton1Click() {
  FaultKind.clear();
  MediumKind.clear();
  const QString name = sEdit1->text();
  const QString telephone = sEdit2->text();
  const QString remark = Remark();
  // Emptiness is tested on the raw text: a name of blanks passes.
  if (name.isEmpty()) {
    boxes_.Inform(this, QStringLiteral("称呼不能为空，谢谢"));
    return;
  }
  if (telephone.isEmpty()) {
    boxes_.Inform(this, QStringLiteral("联系电话不能为空，谢谢"));
    return;
  }
  if (AnsiByteCount(name) > FieldLimit || AnsiByteCount(telephone) > FieldLimit ||
      AnsiByteCount(remark) > RemarkLimit) {
    boxes_.Inform(this, QStringLiteral("内容超长"));
    return;
  }
  FaultKind = FirstTicked(FaultBoxes, FaultChoices);
  MediumKind = FirstTicked(MediumBoxes, MediumChoices);
  SubmitServiceRequest({
      .ProgramName = setup_.ProgramName,
      .Name = name,
      .FaultKind = FaultKind,
      .MediumKind = MediumKind,
      .Remark = remark,
      .Qq = sEdit3->text(),
      .Telephone = telephone,
  });
}

void TForm3::SubmitServiceRequest(const ServiceRequest& request) {
  QNetworkAccessManager client;
  // The wait lets the event loop run; one request at a time.
  sButton1->setEnabled(false);
  const bool sent =
      Exchange(client, QNetworkRequest(ServiceRequestUrl(setup_.Server, request)), HttpVerb::Get, {}, setup_.TimeOut)
          .Succeeded();
  sButton1->setEnabled(true);
  boxes_.Inform(this, sent ? QStringLiteral("发送成功！") : QStringLiteral("提交失败！请检查网络"));
}

void TForm3::Button1Click() {
  shell_.Open(setup_.ChatLink);
}

void TForm3::sStatusBar1Click() {
  shell_.Open(setup_.SecondSite);
}

}  // namespace korvid::online
