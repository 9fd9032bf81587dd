<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<!-- English for every desktop language but Chinese. The program's own texts
     are the sources; the window's English texts need no entry. -->
<TS version="2.1" language="en">
<context>
    <name>SonvaleMain</name>
    <message>
        <source>错误</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>程序已经被打开</source>
        <translation>Sonvale is already running.</translation>
    </message>
    <message>
        <source>请先安装相关驱动程序</source>
        <translation>Please install the companion devices first.</translation>
    </message>
</context>
<context>
    <name>PcmPlayLoop</name>
    <message>
        <source>播放设备没有合适的频率声道支持</source>
        <translation>The playback device supports no suitable sample rate or channel count.</translation>
    </message>
</context>
<context>
    <name>TrayIcon</name>
    <message>
        <source>主界面</source>
        <translation>Open Sonvale</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
</context>
</TS>
