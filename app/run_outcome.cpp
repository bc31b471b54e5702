#include "app/run_outcome.h"

#include <QStringList>

#include <algorithm>

#include "sources/source_text.h"

namespace korvid::app {
namespace {

QString Size(uint64_t bytes) {
  return QString::fromStdString(sources::FormatByteSize(bytes));
}

}  // namespace

QString RunOutcomeText(const RecoveryReport& report, const QString& error, const QString& outputFolder) {
  QString text = QStringLiteral("恢复结束: ");
  if (report.Stopped) {
    text += QStringLiteral("扫描已停止 (已扫描 %1 / %2), ")
                .arg(Size(static_cast<uint64_t>(report.BytesScanned)), Size(static_cast<uint64_t>(report.SourceSize)));
  }
  text += QStringLiteral("发现碎片 %1 个, 写出文件 %2 个 (%3, 共 %4 帧), 保存在 %5.")
              .arg(report.FragmentsFound)
              .arg(report.Write.Files.size())
              .arg(Size(report.Write.BytesWritten))
              .arg(VideoFramesWritten(report))
              .arg(outputFolder);
  const std::vector<KindCount> kinds = FilesByKind(report.Write);
  if (!kinds.empty() && !(kinds.size() == 1 && kinds[0].Kind == "AVI")) {
    QStringList parts;
    uint64_t rebuilt = 0, brokenOff = 0;
    for (const KindCount& k : kinds) {
      parts << QStringLiteral("%1 个 %2").arg(k.Files).arg(QString::fromStdString(k.Kind));
      rebuilt += k.Rebuilt;
      brokenOff += k.BrokenOff;
    }
    text += QStringLiteral(" 其中 %1.").arg(parts.join(QStringLiteral(", ")));
    if (rebuilt > 0) text += QStringLiteral(" %1 个录像缺少索引, 已按样本重建.").arg(rebuilt);
    if (brokenOff > 0) text += QStringLiteral(" %1 个文件结构不完整, 按原样写出.").arg(brokenOff);
  }
  if (report.Write.JoinedRecordings > 0) {
    text += QStringLiteral(" 其中 %1 个录像由 %2 个碎片拼接而成.")
                .arg(report.Write.JoinedRecordings)
                .arg(report.Write.PiecesInJoined);
  }
  if (report.Write.FramesLeftOut > 0) {
    text += QStringLiteral(" 关键帧之前无法解码的 %1 帧未写出.").arg(report.Write.FramesLeftOut);
  }
  if (!report.HeaderProblem.empty()) {
    text += QStringLiteral(" 样本文件头无法解析 (%1), 文件头按原样写出, 未修复.")
                .arg(QString::fromStdString(report.HeaderProblem));
  }
  if (report.UnreadableScanBytes > 0) {
    text += QStringLiteral(" 扫描时有 %1 字节无法读取 (%2 处").arg(report.UnreadableScanBytes).arg(report.UnreadableRanges.size());
    constexpr size_t Shown = 3;
    for (size_t i = 0; i < std::min(Shown, report.UnreadableRanges.size()); ++i) {
      const ByteRange& u = report.UnreadableRanges[i];
      text += QStringLiteral("%1 %2-%3").arg(i == 0 ? QStringLiteral(":") : QStringLiteral(",")).arg(u.Offset).arg(u.Offset + u.Length);
    }
    text += report.UnreadableRanges.size() > Shown ? QStringLiteral(" 等).") : QStringLiteral(").");
  }
  if (report.Write.UnreadableBytes > 0) {
    text += QStringLiteral(" 写出的文件中有 %1 字节无法读取, 已填为零.").arg(report.Write.UnreadableBytes);
  }
  if (!error.isEmpty()) text += QStringLiteral(" 运行因错误中止: ") + error;
  return text;
}

}  // namespace korvid::app
