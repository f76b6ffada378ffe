#pragma once

// Every status line the model sets, in one place.

namespace nimbra {

inline constexpr char kSearchingMessage[] = "正在查找 USB 设备…";
inline constexpr char kNoDeviceMessage[] = "未发现 IQOS USB 设备，请使用数据线连接";
inline constexpr char kOpenFailedPrefix[] = "无法打开 USB（";
inline constexpr char kOpenFailedSuffix[] = "），请退出官方 IQOS 程序后刷新";
inline constexpr char kSwitchedOffMessage[] = "USB 已连接 · 设备可能未开机，请长按按钮开机后刷新";
inline constexpr char kReadDonePrefix[] = "读取完成 · ";
inline constexpr char kReadDoneRows[] = " 项有效数据 · 设置 ";
inline constexpr char kReadDoneSuffix[] = "/8";

inline constexpr char kSavingPrefix[] = "正在保存";
inline constexpr char kSavingSuffix[] = "…";
inline constexpr char kSavedMessage[] = "设置完成";
inline constexpr char kSaveFailedPrefix[] = "保存失败：";
inline constexpr char kSaveFailedSuffix[] = "，请刷新重新读取";

inline constexpr char kPowerHintText[] =
    "设备可能未开机：USB 已连接、身份可读，但电池和多项扩展接口返回相同错误。请长按设备按钮开机，"
    "看到指示灯响应后点击刷新；也可等待自动刷新。若设备已开机仍提示，请导出报告继续排查。";

}  // namespace nimbra
