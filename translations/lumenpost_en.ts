<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>AdvancedSettings</name>
    <message>
        <source>请输入 %1 到 %2 之间的整数%3</source>
        <translation>Enter a whole number from %1 to %2%3</translation>
    </message>
    <message>
        <source>请输入以逗号分隔的正整数秒数，例如 60,300,900,1800,3600</source>
        <translation>Enter whole seconds separated by commas, e.g. 60,300,900,1800,3600</translation>
    </message>
    <message>
        <source> 小时</source>
        <translation> hours</translation>
    </message>
    <message>
        <source>请选择 none、may 或 encrypt</source>
        <translation>Choose none, may or encrypt</translation>
    </message>
    <message>
        <source>请输入主机名或地址，可加端口，例如 smtp.example.com:587；留空则直接投递到收件域的邮件交换器</source>
        <translation>Enter a host name or address, with a port if needed, e.g. smtp.example.com:587; leave it empty to deliver straight to each recipient domain's mail exchangers</translation>
    </message>
    <message>
        <source>用户名不能包含控制字符</source>
        <translation>The user name cannot contain control characters</translation>
    </message>
</context>
<context>
    <name>RelayLines</name>
    <message>
        <source>电子邮件转发成功！</source>
        <translation>Email relayed!</translation>
    </message>
    <message>
        <source>电子邮件转发失败！</source>
        <translation>Email relay failed!</translation>
    </message>
    <message>
        <source>正在接收并转发邮件...</source>
        <translation>Receiving and relaying mail...</translation>
    </message>
    <message>
        <source>邮件转发成功！</source>
        <translation>Relayed! </translation>
    </message>
    <message>
        <source>邮件转发失败！</source>
        <translation>Failed! </translation>
    </message>
</context>
<context>
    <name>lumenpost::MessageView</name>
    <message>
        <source>
…（邮件共 %1 字节，只显示了前 %2 字节）</source>
        <translation>
… (the message has %1 bytes; only the first %2 are shown)</translation>
    </message>
</context>
<context>
    <name>lumenpost::QueueTableModel</name>
    <message>
        <source>等待发送</source>
        <translation>Waiting</translation>
    </message>
    <message>
        <source>稍后重试</source>
        <translation>Deferred</translation>
    </message>
    <message>
        <source>已送达</source>
        <translation>Delivered</translation>
    </message>
    <message>
        <source>发送失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>立即</source>
        <translation>Now</translation>
    </message>
    <message>
        <source>未加密</source>
        <translation>Not encrypted</translation>
    </message>
    <message>
        <source>到达时间</source>
        <translation>Arrived</translation>
    </message>
    <message>
        <source>发件人</source>
        <translation>Sender</translation>
    </message>
    <message>
        <source>收件人</source>
        <translation>Recipient</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>尝试次数</source>
        <translation>Attempts</translation>
    </message>
    <message>
        <source>下次尝试</source>
        <translation>Next attempt</translation>
    </message>
    <message>
        <source>原因</source>
        <translation>Reason</translation>
    </message>
    <message>
        <source>加密</source>
        <translation>Encryption</translation>
    </message>
</context>
<context>
    <name>lumenpost::QueueWindow</name>
    <message>
        <source>邮件队列</source>
        <translation>Mail queue</translation>
    </message>
    <message>
        <source>立即重试</source>
        <translation>Retry now</translation>
    </message>
    <message>
        <source>重新发送</source>
        <translation>Send again</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>查看邮件</source>
        <translation>View message</translation>
    </message>
    <message>
        <source>高级设置...</source>
        <translation>Advanced settings...</translation>
    </message>
    <message>
        <source>邮件队列操作没有完成：%1</source>
        <translation>The queue action did not complete: %1</translation>
    </message>
    <message>
        <source>删除邮件 %1（发件人 %2）？
它的所有收件人都不会再投递，删除后无法恢复。</source>
        <translation>Delete message %1 (sender %2)?
None of its recipients will be delivered, and it cannot be brought back.</translation>
    </message>
    <message>
        <source>邮件 %1 已不在队列中。</source>
        <translation>Message %1 is no longer in the queue.</translation>
    </message>
    <message>
        <source>无法读取邮件文件 %1：%2。请检查队列文件夹的权限。</source>
        <translation>Cannot read the message file %1: %2. Check the permissions of the queue folder.</translation>
    </message>
    <message>
        <source>邮件 %1</source>
        <translation>Message %1</translation>
    </message>
</context>
<context>
    <name>lumenpost::SettingsDialog</name>
    <message>
        <source>高级设置</source>
        <translation>Advanced settings</translation>
    </message>
    <message>
        <source>最大邮件大小 (MiB)</source>
        <translation>Largest message (MiB)</translation>
    </message>
    <message>
        <source>同时投递数</source>
        <translation>Deliveries at once</translation>
    </message>
    <message>
        <source>重试间隔 (秒)</source>
        <translation>Retry intervals (seconds)</translation>
    </message>
    <message>
        <source>最长排队时间 (小时)</source>
        <translation>Longest time in the queue (hours)</translation>
    </message>
    <message>
        <source>可加密时加密 (may)</source>
        <translation>Encrypt when offered (may)</translation>
    </message>
    <message>
        <source>必须加密 (encrypt)</source>
        <translation>Always encrypt (encrypt)</translation>
    </message>
    <message>
        <source>不加密 (none)</source>
        <translation>Never encrypt (none)</translation>
    </message>
    <message>
        <source>中继服务器</source>
        <translation>Relay host</translation>
    </message>
    <message>
        <source>留空: 直接投递; 例如 smtp.example.com:587</source>
        <translation>Empty: deliver directly; e.g. smtp.example.com:587</translation>
    </message>
    <message>
        <source>中继用户名</source>
        <translation>Relay user name</translation>
    </message>
    <message>
        <source>留空: 不更改</source>
        <translation>Empty: keep the stored one</translation>
    </message>
    <message>
        <source>由 --password-file 提供</source>
        <translation>Given by --password-file</translation>
    </message>
    <message>
        <source>发送加密</source>
        <translation>Encryption</translation>
    </message>
    <message>
        <source>中继密码</source>
        <translation>Relay password</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>设置已生效，但未能写入设置文件: %1</source>
        <translation>The settings are in force but could not be written to the settings file: %1</translation>
    </message>
</context>
<context>
    <name>lumenpost::TForm1</name>
    <message>
        <source>中继密码没有保存：%1</source>
        <translation>The relay password was not saved: %1</translation>
    </message>
    <message>
        <source>邮件转发失败</source>
        <translation>Mail relay failed</translation>
    </message>
    <message>
        <source>发给 %1 的邮件无法送达：%2</source>
        <translation>Mail to %1 could not be delivered: %2</translation>
    </message>
    <message>
        <source>SMTP转发成功记录</source>
        <translation>Relayed mail</translation>
    </message>
    <message>
        <source>SMTP转发失败记录</source>
        <translation>Failed mail</translation>
    </message>
    <message>
        <source>系统参数设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>DNS服务器地址：</source>
        <translation>DNS server:</translation>
    </message>
    <message>
        <source>SMTP管理员信箱：</source>
        <translation>Postmaster:</translation>
    </message>
    <message>
        <source>本机当前IP地址：</source>
        <translation>This machine's IP:</translation>
    </message>
    <message>
        <source>请将本IP地址作为发信SMTP地址，也可设为127.0.0.1</source>
        <translation>Give this IP address to your mail program as its outgoing SMTP server; 127.0.0.1 works too</translation>
    </message>
    <message>
        <source>随WINDOWS启动后运行</source>
        <translation>Run when the desktop starts</translation>
    </message>
    <message>
        <source>启动后最小化</source>
        <translation>Minimise after start</translation>
    </message>
    <message>
        <source>邮件转发失败后语音提示</source>
        <translation>Sound an alert on failure</translation>
    </message>
    <message>
        <source>邮件转发失败后退信通知</source>
        <translation>Notify the sender on failure</translation>
    </message>
    <message>
        <source>SMTP发送</source>
        <translation>SMTP send</translation>
    </message>
    <message>
        <source>显示主窗口(&amp;M)</source>
        <translation>Show the &amp;main window</translation>
    </message>
    <message>
        <source>最小化显示(&amp;N)</source>
        <translation>Mi&amp;nimise</translation>
    </message>
    <message>
        <source>反馈改进意见(&amp;F)</source>
        <translation>Send &amp;feedback</translation>
    </message>
    <message>
        <source>访问软件主页(&amp;V)</source>
        <translation>&amp;Visit the home page</translation>
    </message>
    <message>
        <source>邮件队列...</source>
        <translation>Mail queue...</translation>
    </message>
    <message>
        <source>高级设置...</source>
        <translation>Advanced settings...</translation>
    </message>
    <message>
        <source>退出(&amp;Exit)</source>
        <translation>E&amp;xit</translation>
    </message>
</context>
</TS>
