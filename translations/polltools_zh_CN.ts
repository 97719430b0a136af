<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>acquisition::PublishFault</name>
    <message>
        <source>cannot publish to %1: %2</source>
        <translation>无法发布到 %1：%2</translation>
    </message>
    <message>
        <source>the broker at %1 refused %2: %3</source>
        <translation>%1 的消息服务器拒绝了 %2：%3</translation>
    </message>
    <message>
        <source>the outbox for %1 is full: the oldest readings not yet published are being dropped</source>
        <translation>发往 %1 的待发队列已满：最早未发布的读数正被丢弃</translation>
    </message>
</context>
<context>
    <name>apps::Program</name>
    <message>
        <source>Trend…</source>
        <translation>趋势图…</translation>
    </message>
</context>
<context>
    <name>apps::StartButton</name>
    <message>
        <source>the address must be %1 to %2</source>
        <translation>地址只能是 %1 到 %2</translation>
    </message>
</context>
<context>
    <name>poll::LinkFault</name>
    <message>
        <source>cannot open %1: %2</source>
        <translation>无法打开 %1：%2</translation>
    </message>
    <message>
        <source>%1 lost: %2</source>
        <translation>%1 已断开：%2</translation>
    </message>
    <message>
        <source>cannot write to %1: %2</source>
        <translation>无法写入 %1：%2</translation>
    </message>
    <message>
        <source>%1 is not open</source>
        <translation>%1 未打开</translation>
    </message>
    <message>
        <source>%1: %2</source>
        <translation>%1：%2</translation>
    </message>
    <message>
        <source> (choose the device with --port DEVICE or COMM_PORT1)</source>
        <translation>（可用 --port 或 COMM_PORT1 选择其他串口）</translation>
    </message>
</context>
<context>
    <name>poll::Poller</name>
    <message>
        <source>no reply from module %1 since %2</source>
        <translation>模块 %1 自 %2 起无应答</translation>
    </message>
</context>
<context>
    <name>ui::Form1</name>
    <message>
        <source>Module address:</source>
        <translation>模块地址：</translation>
    </message>
    <message>
        <source>Start polling</source>
        <translation>开始采集</translation>
    </message>
    <message>
        <source>Request:</source>
        <translation>输出命令：</translation>
    </message>
    <message>
        <source>Reply:</source>
        <translation>接收命令：</translation>
    </message>
    <message>
        <source>Polls:</source>
        <translation>采集次数：</translation>
    </message>
    <message>
        <source>Errors:</source>
        <translation>出错次数：</translation>
    </message>
    <message>
        <source>Data:</source>
        <translation>采集数据：</translation>
    </message>
    <message>
        <source>Module address</source>
        <translation>模块地址</translation>
    </message>
    <message>
        <source>Request</source>
        <translation>输出命令</translation>
    </message>
    <message>
        <source>Reply</source>
        <translation>接收命令</translation>
    </message>
    <message>
        <source>Polls</source>
        <translation>采集次数</translation>
    </message>
    <message>
        <source>Errors</source>
        <translation>出错次数</translation>
    </message>
    <message>
        <source>cannot record data: %1</source>
        <translation>无法记录数据：%1</translation>
    </message>
    <message>
        <source>; </source>
        <translation>；</translation>
    </message>
</context>
<context>
    <name>ui::TrendMenu</name>
    <message>
        <source>Save image…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy image</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy values</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Export rows in view as CSV…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Back to live	End</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show all</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Reset zoom</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Clear markers	Delete</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>One axis</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Each channel on its own scale</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Stacked lanes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy values between the markers</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy values at the marker</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copy values at the cursor</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cannot draw the image for %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cannot write the image to %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>no rows in view to export</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>cannot write the rows to %1: %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>no values to copy: set a marker (A) or point at the plot</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Save image</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Export rows</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>PNG image (*.png)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>SVG drawing (*.svg)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>JPEG image (*.jpg *.jpeg)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>CSV recording (*.csv)</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>ui::TrendView</name>
    <message>
        <source>Channel trend</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>no reply since %1 (the legend shows the last values received)</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 days</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 hours</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 minutes</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>%1 seconds</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The eight channels from %1 to %2</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The eight channels over the last %1, up to now</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>The eight channels over the last %1, following the newest reading</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>No readings yet</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>module %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>no reading</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>checksum failed</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
