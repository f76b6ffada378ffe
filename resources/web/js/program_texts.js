// The program writes its own texts (status lines, errors) in Chinese and always will; the
// page shows each one it knows in the chosen language. A known text is either exact or a
// pattern whose numbers, nested program texts and raw details are carried over. A text
// the page does not know is shown as it arrived.
//
// Pattern placeholders: {#name} a whole number, {@name} a nested program text (translated
// in turn), {$name} a detail kept as it is (a path, a code, hex).
(function (N) {
  'use strict';

  const EXACT = {
    // Device status lines
    '正在查找 USB 设备…': 'Looking for the USB device…',
    '未发现 IQOS USB 设备，请使用数据线连接': 'No IQOS USB device found. Connect it with a USB cable.',
    'USB 已连接 · 设备可能未开机，请长按按钮开机后刷新': 'USB connected · the device may be switched off. Hold its button to switch it on, then refresh.',
    '设置完成': 'Setting saved',
    '设备可能未开机，请长按按钮后刷新。': 'The device may be switched off. Hold its button, then refresh.',
    '设备可能未开机：USB 已连接、身份可读，但电池和多项扩展接口返回相同错误。请长按设备按钮开机，看到指示灯响应后点击刷新；也可等待自动刷新。若设备已开机仍提示，请导出报告继续排查。':
      'The device may be switched off: USB is connected and its identity can be read, but the battery and several extended fields return the same error. Hold the device’s button until the light responds, then refresh, or wait for the automatic refresh. If the device is on and this persists, export a report to look further.',
    '设备响应超时，请退出官方 IQOS 程序后重试': 'The device did not answer in time. Close other programs that use it and try again.',
    '无法打开 USB，请退出官方 IQOS 程序': 'The USB device could not be opened. Close other programs that use it.',
    '已发送，但设备回读未确认': 'Sent, but the device’s read-back did not confirm it',
    '请先成功读取四项震动设置': 'Read the four vibration settings successfully first',
    '震动配置回读不一致': 'The vibration settings read back do not match',
    // Device history
    '正在读取设备历史…': 'Reading the device history…',
    '无法打开设备': 'The device could not be opened',
    '设备历史目录读取失败': 'The device history catalogue could not be read',
    '设备历史目录格式暂不支持': 'This device history catalogue format is not supported yet',
    '设备历史目录位置不一致': 'The device history catalogue positions are inconsistent',
    '读取期间历史目录发生变化，请重试': 'The history catalogue changed during the read. Try again.',
    '无法读取或保存本机加密历史记录。': 'The encrypted history on this computer could not be read or saved.',
    '无法读取本机加密历史记录。': 'The encrypted history on this computer could not be read.',
    // Local storage
    '本机数据库无法打开，设备读取仍可用。': 'The local database could not be opened; reading the device still works.',
    '偏好设置未能保存到本机，下次启动将恢复原设置。': 'The preferences could not be saved on this computer; the next start restores the previous ones.',
    '本次采样未能保存到本机数据库。': 'This reading could not be saved to the local database.',
    '文件不存在。': 'The file does not exist.',
    '无法读取文件。': 'The file could not be read.',
    '没有读取文件的权限。': 'No permission to read the file.',
    '文件已损坏或格式不正确。': 'The file is damaged or in the wrong format.',
    '无法写入文件。': 'The file could not be written.',
    '文件已存在。': 'The file already exists.',
    '加密文件长度不正确。': 'The encrypted file has the wrong length.',
    '加密文件校验失败。': 'The encrypted file failed its integrity check.',
    '未能读取数据，因为它的格式不正确。': 'The data could not be read because it is in the wrong format.',
    '未能写入数据，因为它的格式不正确。': 'The data could not be written because it is in the wrong format.',
    // Servers and network
    '历史解析响应与本次设备读取不一致': 'The history analysis answer does not match this device read',
    '电池估算响应格式无效': 'The battery estimate answer is malformed',
    'nimbra API 响应过大': 'The nimbra API answer is too large',
    '请求超时。': 'The request timed out.',
    '已取消': 'Cancelled',
    '未能连接到服务器。': 'Could not connect to the server.',
    '未能找到使用指定主机名的服务器。': 'No server with that host name was found.',
    'URL 无效。': 'The URL is not valid.',
    '不支持的 URL。': 'The URL is not supported.',
    '发生了 SSL 错误，无法建立与该服务器的安全连接。': 'An SSL error occurred; no secure connection to the server could be made.',
    '网络连接已中断。': 'The network connection was lost.',
    '服务器响应错误。': 'The server answered with an error.',
    '发生了未知网络错误。': 'An unknown network error occurred.',
    // Updates
    '版本检查失败。': 'The version check failed.',
    '下载失败。': 'The download failed.',
    '更新包大小或平台信息不正确。': 'The update’s size or platform information is wrong.',
    '更新包 SHA-256 校验失败。': 'The update failed its SHA-256 check.',
    '不支持的更新包格式。': 'The update’s package format is not supported.',
    '镜像内缺少 nimbra.app。': 'The update holds no nimbra.app folder.',
    '更新文件处理失败。': 'The update files could not be processed.',
    '安装包身份、版本或架构不匹配。': 'The package’s identity, version or architecture does not match.',
    '当前系统版本不支持此更新。': 'This system version does not support the update.',
    '更新可执行文件不支持当前架构。': 'The update’s program does not support this architecture.',
    '更新包含应用之外的链接。': 'The update contains links outside the application.',
    '无法读取应用签名。': 'The application’s signature could not be read.',
    '应用代码签名无效。': 'The application’s code signature is not valid.',
    '无法检查应用签名身份。': 'The application’s signing identity could not be checked.',
    '更新包的开发者签名身份发生变化。': 'The update’s developer signing identity has changed.',
    '更新安装助手缺失。': 'The update installer is missing.',
    // Setting names and descriptions
    '开始加热震动（Start heating）': 'Start heating vibration',
    '准备就绪震动（Ready to use）': 'Ready to use vibration',
    '最后一口前震动（Nearly finished）': 'Nearly finished vibration',
    '结束后震动（Experience ended）': 'Experience ended vibration',
    '灯光强度（Illumination mode）': 'Illumination mode',
    '强光 100 / 弱光 30': 'Bright 100 / dim 30',
    '弹性吸用（FlexPuff）': 'FlexPuff',
    '弹性吸用': 'FlexPuff',
    '自动开始（Autostart）': 'Autostart',
    '保存自动开始偏好': 'Keeps the Autostart preference',
    '智能手势（Smart gestures）': 'Smart gestures',
    '已实测的手势总开关': 'Master switch for the tested gestures',
    '震动提醒': 'Vibration alert',
    '家长锁': 'Parental lock',
    // Reading names
    '软件标识': 'Software identifier',
    '模块序列号': 'Module serial number',
    '计时起算日期': 'Clock start date',
    '设备时钟': 'Device clock',
    '自检结果': 'Self-test result',
    '状态记录 08': 'Status record 08',
    '状态记录 0B': 'Status record 0B',
    '家长保护字段': 'Parental protection field',
    '状态字段 11': 'Status field 11',
    '校准参数': 'Calibration parameters',
    '系统状态': 'System status',
    '错误字段': 'Error field',
    '另一电池布局': 'Alternative battery layout',
    '累计统计（类型未定）': 'Cumulative counters (type unknown)',
    '记录 85': 'Record 85',
    '记录 86': 'Record 86',
    '配置能力': 'Configuration capabilities',
    '配置字段': 'Configuration field',
    '电池状态': 'Battery status',
    '扩展提醒字段': 'Extended alert field',
    // The share picture's caption
    '电子烟控制器': 'Device companion',
    '扫码下载': 'Scan to download',
  };

  // Most specific first: the first pattern that matches the whole text wins.
  const PATTERNS = [
    ['读取完成 · {#rows} 项有效数据 · 设置 {#read}/8', 'Read complete · {rows} valid values · settings {read}/8'],
    ['无法打开 USB（{#status}），请退出官方 IQOS 程序后刷新', 'The USB device could not be opened (status {status}). Refresh to try again.'],
    ['保存失败：{@reason}，请刷新重新读取', 'Saving failed: {reason}. Refresh to read the device again.'],
    ['正在保存{@setting}…', 'Saving {setting}…'],
    ['USB 传输失败：{#status}', 'USB transfer failed: {status}'],
    ['设备返回应用错误：{$payload}', 'The device reported an application error: {payload}'],
    ['目录 {#directory} 位置 {#position} 读取失败，请重试', 'Directory {directory}, position {position} could not be read. Try again.'],
    ['已读取 {#count} 条设备历史目录记录', 'Read {count} device history catalogue records'],
    ['nimbra API 返回 {#status}', 'The nimbra API answered {status}'],
    ['{@message}（{$detail}）', '{message} ({detail})'],
    // Reading values
    ['{$version} · 构建 {#build} · App {#app} · 公共参数 {$common} · 应用参数 {$params} · SBL {#sbl}',
      '{version} · build {build} · app {app} · common parameters {common} · application parameters {params} · SBL {sbl}'],
    ['{#value}（原始字段）', '{value} (raw field)'],
    ['{#charge}% · 电压原始值 {#voltage} · 温度原始值 {#temperature}', '{charge}% · raw voltage {voltage} · raw temperature {temperature}'],
  ];

  const PLACEHOLDER = /\{([#@$])(\w+)\}/g;
  const escape = (text) => text.replace(/[.*+?^${}()|[\]\\]/g, '\\$&');

  function compile([zh, en]) {
    const kinds = [];
    let source = '';
    let last = 0;
    for (const m of zh.matchAll(PLACEHOLDER)) {
      source += escape(zh.slice(last, m.index));
      source += m[1] === '#' ? '(-?\\d+)' : '(.+?)';
      kinds.push([m[1], m[2]]);
      last = m.index + m[0].length;
    }
    source += escape(zh.slice(last));
    return { zh, en, kinds, re: new RegExp(`^${source}$`, 's') };
  }
  const COMPILED = PATTERNS.map(compile);

  // The English rendering of a program text, or undefined when the page does not know it.
  function english(text) {
    if (Object.prototype.hasOwnProperty.call(EXACT, text)) return EXACT[text];
    for (const p of COMPILED) {
      const m = p.re.exec(text);
      if (!m) continue;
      const values = {};
      p.kinds.forEach(([kind, name], i) => {
        const part = m[i + 1];
        // A nested sentence loses its full stop: the pattern punctuates around it.
        values[name] = kind === '@' ? (english(part) ?? part).replace(/\.$/, '') : part;
      });
      return p.en.replace(/\{(\w+)\}/g, (_, name) => values[name]);
    }
    return undefined;
  }

  // A program text as the page shows it in the current language.
  function show(text) {
    if (typeof text !== 'string' || N.i18n.language === 'zh') return text;
    return english(text) ?? text;
  }

  N.programText = { show, english, EXACT, PATTERNS };
})(window.NimbraPage = window.NimbraPage || {});
