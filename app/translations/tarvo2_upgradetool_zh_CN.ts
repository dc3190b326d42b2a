<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>QObject</name>
    <message>
        <source>Warnning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>The software instance is running now!</source>
        <translation>软件已经在运行中！</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>确定</translation>
    </message>
</context>
<context>
    <name>Tarvo2_UpgradeToolClass</name>
    <message>
        <source>Tarvo2_UpgradeTool</source>
        <translation>Tarvo2一键刷机工具</translation>
    </message>
</context>
<context>
    <name>Tarvo2_UpgradeTool</name>
    <message>
        <source>Read the robot version information, please wait...</source>
        <translation>正在读取机器人版本信息，请稍候...</translation>
    </message>
    <message>
        <source>Read the robot serial number, please wait...</source>
        <translation>正在读取机器人序列号，请稍候...</translation>
    </message>
    <message>
        <source>Read the robot system and the main service version.</source>
        <translation>正在读取机器人系统和主服务版本。</translation>
    </message>
    <message>
        <source>Request the latest upgrade software version information...</source>
        <translation>正在获取最新升级软件版本信息...</translation>
    </message>
    <message>
        <source>downloading...</source>
        <translation>下载中...</translation>
    </message>
    <message>
        <source>Check upgrade file...</source>
        <translation>正在校验升级文件...</translation>
    </message>
    <message>
        <source>Success</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>Root complete, please wait for your robot to restart!</source>
        <translation>刷机完成，请等待机器人重新启动！</translation>
    </message>
    <message>
        <source>Ok</source>
        <translation>确定</translation>
    </message>
    <message>
        <source>Failure</source>
        <translation>失败</translation>
    </message>
    <message>
        <source>Exit</source>
        <translation>退出</translation>
    </message>
    <message>
        <source>A task is running , end the operation and exit?</source>
        <translation>任务正在进行中，是否结束操作并退出？</translation>
    </message>
    <message>
        <source>Yes</source>
        <translation>是</translation>
    </message>
    <message>
        <source>No</source>
        <translation>否</translation>
    </message>
    <message>
        <source>Warnning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>Your tarvo's power is less than 60%,please make sure Tarvo is charging before upgrade!</source>
        <translation>机器人电量低于60%，请确保机器人在升级前处于充电状态！</translation>
    </message>
    <message>
        <source>Copy action files:</source>
        <translation>拷贝动作文件:</translation>
    </message>
    <message>
        <source>Push: </source>
        <translation>拷贝: </translation>
    </message>
    <message>
        <source>Succeed</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>uninstall apps</source>
        <translation>卸载应用</translation>
    </message>
    <message>
        <source>please wait...</source>
        <translation>请稍候...</translation>
    </message>
    <message>
        <source>Installing:</source>
        <translation>正在安装:</translation>
    </message>
    <message>
        <source>Installation complete:</source>
        <translation>安装完成:</translation>
    </message>
</context>
</TS>
