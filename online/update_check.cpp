#include "online/update_check.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include "online/http_exchange.h"
#include "online/version_rules.h"

namespace korvid::online {

namespace {

QNetworkRequest UpdateRequest(const QUrl& url) {
  QNetworkRequest request(url);
  request.setRawHeader("Accept", "text/html, */*");
  request.setRawHeader("User-Agent", "Mozilla/3.0 (compatible; Indy Library)");
  return request;
}

}  // namespace

UpdateCheck::UpdateCheck(UpdateCheckSetup setup, ui::MessageBoxes& boxes, ui::ShellServices& shell)
    : setup_(std::move(setup)), boxes_(boxes), shell_(shell) {}

QString UpdateCheck::FetchUpdateInfo() const {
  QNetworkAccessManager client;
  const QString queryName = AsciiLower(setup_.ProgramName);
  const QString own = ComparableVersion(setup_.ProgramVersion);

  const QUrl page = setup_.Server.resolved(QUrl(QStringLiteral("getinfo.asp")));
  if (!Exchange(client, UpdateRequest(page), HttpVerb::Get, {}, setup_.TimeOut).Succeeded()) return {};

  // The name goes in as it is; QUrl escapes only what cannot stand in a query.
  QUrl query = page;
  query.setQuery(QStringLiteral("name=") + queryName);
  QNetworkRequest post = UpdateRequest(query);
  post.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
  const QByteArray emptyForm;
  const HttpAnswer answer = Exchange(client, post, HttpVerb::Post, emptyForm, setup_.TimeOut);
  if (!answer.Succeeded()) return {};

  const QString converted = ConvertAnswer(AnswerText(answer));
  const QStringList lines = SplitLines(converted);
  if (lines.isEmpty()) return {};
  try {
    return IsNewerVersion(own, lines.first()) ? converted : QString();
  } catch (const VersionConversionError&) {
    return {};
  }
}

QUrl DownloadAddress(const QString& line) {
  const QUrl url(line.trimmed(), QUrl::StrictMode);
  const bool web = url.scheme() == QLatin1String("http") || url.scheme() == QLatin1String("https");
  return url.isValid() && web && !url.host().isEmpty() ? url : QUrl();
}

void UpdateCheck::ShowNoUpdate(QWidget* owner) {
  if (boxes_.Ask(owner, QStringLiteral("提醒"),
                 QStringLiteral("未检测到新版本,您使用的已经是最新版本!\n是否去网站看看?"))) {
    shell_.Open(setup_.WebSite);
  }
}

void UpdateCheck::UpdateBtnClick(QWidget* owner) {
  // The exchange lets the event loop run, so the button can be clicked again meanwhile.
  if (checking_) return;
  checking_ = true;
  struct Done {
    bool& flag;
    ~Done() { flag = false; }
  } done{checking_};

  if (FetchUpdateInfo().isEmpty()) {
    ShowNoUpdate(owner);
    return;
  }
  // The box shows what a second, complete exchange says.
  const QStringList lines = SplitLines(FetchUpdateInfo());
  const QUrl download = lines.isEmpty() ? QUrl() : DownloadAddress(lines.last());
  if (download.isEmpty()) {
    ShowNoUpdate(owner);
    return;
  }

  QString features;
  for (qsizetype i = 1; i < lines.size() - 1; ++i) features += QLatin1Char('\n') + lines[i];
  const QString product = setup_.ProgramName + QStringLiteral(" 专业版");
  const QString caption = product + QLatin1Char(' ') + AsciiUpper(lines.first()) + QStringLiteral(" 升级提醒");
  const QString text = QStringLiteral("发现") + product + QStringLiteral("最新版本!\n是否立刻下载更新软件到最新版本?\n\n更新功能如下:") +
                       features + QStringLiteral("\n\n\n官方网站: ") + setup_.WebSite.toString();
  if (boxes_.Ask(owner, caption, text)) shell_.Open(download);
}

}  // namespace korvid::online
