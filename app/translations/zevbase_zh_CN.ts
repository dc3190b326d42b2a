<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>utils::ZEVError</name>
    <message>
        <source>System version is too low, please call after-sale service:000-0000-000!</source>
        <translation>系统版本过低，请致电售后服务:000-0000-000!</translation>
    </message>
    <message>
        <source>The upgrade package&apos;s signature could not be verified!</source>
        <translation>无法验证升级包的签名!</translation>
    </message>
</context>
</TS>
