#pragma once

// Everything the window says about the vendor: addresses, contact channels, the product list of
// the tools menu. Kept in one place so that a rebranding touches one file.
namespace korvid::app::vendor {

inline constexpr const char* WebDomain = "korvid.example.com";
inline constexpr const char* HomePage = "https://korvid.example.com/";
inline constexpr const char* ChatLink = "https://korvid.example.com/chat";

// The two link labels of the welcome panel.
inline constexpr const char* ChatLabelText = "在线客服: 点击与工程师交谈";
inline constexpr const char* WebLabelText = "官方网站: korvid.example.com";

// The hint of the notification-area icon: the product line.
inline constexpr const char* TrayHint = "Korvid 数据恢复系列";

// The welcome text of ScanLog: its first sentence, then the contact lines.
inline constexpr const char* WelcomeFirstSentence = "KORVID支持恢复丢失以及修复损坏的AVI文件.";
inline constexpr const char* WelcomeContactLines[] = {
    "官方网站: https://korvid.example.com/",
    "在线客服: https://korvid.example.com/chat",
    "服务邮箱: service@korvid.example.com",
    "服务热线: 400-000-0000 (工作日 9:00-18:00)",
};

// The tools menu: seven groups of further services, none with an action.
struct ToolGroup {
  const char* Caption;
  const char* Items[4];
};
inline constexpr ToolGroup ToolGroups[] = {
    {"视频恢复", {"监控录像恢复", "行车记录仪恢复", "相机视频恢复", "无人机视频恢复"}},
    {"照片恢复", {"相机照片恢复", "手机照片恢复", "RAW 格式恢复", nullptr}},
    {"文档恢复", {"Office 文档恢复", "PDF 文档恢复", "压缩包恢复", nullptr}},
    {"数据库恢复", {"Access 数据库修复", "SQL Server 数据库修复", "MySQL 数据库修复", nullptr}},
    {"磁盘恢复", {"分区表修复", "格式化恢复", "RAID 重组", "坏道镜像"}},
    {"存储卡恢复", {"SD 卡恢复", "U 盘恢复", "TF 卡恢复", nullptr}},
    {"服务器恢复", {"NAS 恢复", "虚拟机磁盘恢复", "磁带恢复", nullptr}},
};

// The online services. The update server answers "getinfo.asp"; the service server listens on
// port 8080; the second web site opens from the service form's status bar.
inline constexpr const char* UpdateServer = "http://update.korvid.example.com/";
inline constexpr const char* ServiceServer = "http://service.korvid.example.com:8080/";
inline constexpr const char* SecondSite = "https://data.korvid.example.com/";
inline constexpr const char* ServiceStatusText = "服务热线: 400-000-0000  QQ: 800000000";

}  // namespace korvid::app::vendor
