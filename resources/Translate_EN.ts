<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>MainWindow</name>
    <message>
        <source>Halvren 关节调试工具</source>
        <translation>Halvren Motor Tool</translation>
    </message>
    <message>
        <source>通讯设置</source>
        <translation>Communication</translation>
    </message>
    <message>
        <source>打开串口</source>
        <translation>TTL Srial</translation>
    </message>
    <message>
        <source>打开CAN</source>
        <translation>CAN</translation>
    </message>
    <message>
        <source>参数设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>校准</source>
        <translation>Calibration</translation>
    </message>
    <message>
        <source>设置零点</source>
        <translation>Set Origin</translation>
    </message>
    <message>
        <source>复位</source>
        <translation>Reset</translation>
    </message>
    <message>
        <source>可视化调试</source>
        <translation>Oscilloscope</translation>
    </message>
    <message>
        <source>固件升级</source>
        <translation>Firmware Update</translation>
    </message>
    <message>
        <source>曲线跟随</source>
        <translation>Curve Follow</translation>
    </message>
    <message>
        <source>清除错误</source>
        <translation>Clear Error</translation>
    </message>
    <message>
        <source>运动参数</source>
        <translation>Control Parameters</translation>
    </message>
    <message>
        <source>角度P</source>
        <translation>Position</translation>
    </message>
    <message>
        <source>角速度V</source>
        <translation>Velocity</translation>
    </message>
    <message>
        <source>扭矩T</source>
        <translation>Torque</translation>
    </message>
    <message>
        <source>刚度Kp</source>
        <translation>Kp</translation>
    </message>
    <message>
        <source>阻尼Kd</source>
        <translation>Kd</translation>
    </message>
    <message>
        <source>关节角度给定，单位rad</source>
        <translation>Desired Position (rad)</translation>
    </message>
    <message>
        <source>关节角速度给定，单位rad/s</source>
        <translation>Desired Angular Velocity (rad/s)</translation>
    </message>
    <message>
        <source>关节扭矩给定，单位N·m</source>
        <translation>Desired Torque (N·m)</translation>
    </message>
    <message>
        <source>关节运动刚度</source>
        <translation>Proportional Gain</translation>
    </message>
    <message>
        <source>关节运动阻尼</source>
        <translation>Derivative Gain</translation>
    </message>
    <message>
        <source>发送参数</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>保存此次运行数据</source>
        <translation>Save Data</translation>
    </message>
    <message>
        <source>电机使能</source>
        <translation>ENABLE</translation>
    </message>
    <message>
        <source>清除波形</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>串口模式</source>
        <translation>Serial Port Terminal</translation>
    </message>
    <message>
        <source>发送设置</source>
        <translation>Data Format</translation>
    </message>
    <message>
        <source>HEX</source>
        <translation>HEX</translation>
    </message>
    <message>
        <source>ASCII</source>
        <translation>ASCII</translation>
    </message>
    <message>
        <source>清除接收</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>发送</source>
        <translation>Send</translation>
    </message>
    <message>
        <source>电压</source>
        <translation>Voltage</translation>
    </message>
    <message>
        <source>电机温度</source>
        <translation>Motor Temp</translation>
    </message>
    <message>
        <source>驱动器温度</source>
        <translation>Driver Temp</translation>
    </message>
    <message>
        <source>角度</source>
        <translation>Position</translation>
    </message>
    <message>
        <source>角速度</source>
        <translation>Velocity</translation>
    </message>
    <message>
        <source>扭矩</source>
        <translation>Torque</translation>
    </message>
    <message>
        <source>驱动器版本</source>
        <translation>Driver Firmware</translation>
    </message>
</context>
<context>
    <name>SetSerial</name>
    <message>
        <source>打开串口</source>
        <translation>Serial Port</translation>
    </message>
    <message>
        <source>串口号：</source>
        <translation>Serial Port:</translation>
    </message>
    <message>
        <source>波特率：</source>
        <translation>Baud Rate:</translation>
    </message>
    <message>
        <source>打开设备</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>SetCan</name>
    <message>
        <source>打开CAN</source>
        <translation>CAN</translation>
    </message>
    <message>
        <source>设备名：</source>
        <translation>Device:</translation>
    </message>
    <message>
        <source>波特率：</source>
        <translation>Baud Rate:</translation>
    </message>
    <message>
        <source>关节ID：</source>
        <translation>Motor ID:</translation>
    </message>
    <message>
        <source>打开设备</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>SetParam</name>
    <message>
        <source>设置参数</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>电机参数</source>
        <translation>Motor</translation>
    </message>
    <message>
        <source>型号</source>
        <translation>Model</translation>
    </message>
    <message>
        <source>关节ID</source>
        <translation>Motor ID</translation>
    </message>
    <message>
        <source>电流环带宽</source>
        <translation>Current Loop Bandwidth</translation>
    </message>
    <message>
        <source>电流限制</source>
        <translation>Current Limit</translation>
    </message>
    <message>
        <source>仅本次应用</source>
        <translation>Save as Temporary Settings</translation>
    </message>
    <message>
        <source>写入</source>
        <translation>Write</translation>
    </message>
    <message>
        <source>保护机制</source>
        <translation>Protection</translation>
    </message>
    <message>
        <source>欠压阈值：</source>
        <translation>Undervoltage Threshold:</translation>
    </message>
    <message>
        <source>过压阈值：</source>
        <translation>Overvoltage Threshold:</translation>
    </message>
    <message>
        <source>过流阈值：</source>
        <translation>Overcurrent Threshold:</translation>
    </message>
    <message>
        <source>电机过温阈值：</source>
        <translation>Motor Overtemperature Threshold:</translation>
    </message>
    <message>
        <source>驱动器过温阈值：</source>
        <translation>Driver Overtemperature Threshold:</translation>
    </message>
    <message>
        <source>驱动器没有报告减速比。请先选择电机型号。</source>
        <translation>The driver has reported no gear ratio. Choose the motor model first.</translation>
    </message>
    <message>
        <source>驱动器报告的减速比 %1 不属于任何电机型号。请先选择电机型号。</source>
        <translation>The gear ratio the driver reported, %1, matches no motor model. Choose the motor model first.</translation>
    </message>
    <message>
        <source>没有打开的连接，无法应用或写入参数。请先打开串口或CAN。</source>
        <translation>No link is open, so the parameters cannot be applied or written. Open the serial port or CAN first.</translation>
    </message>
    <message>
        <source>电机已使能，无法应用或写入参数。请先失能电机。</source>
        <translation>The motor is enabled, so the parameters cannot be applied or written. Disable the motor first.</translation>
    </message>
    <message>
        <source>校准进行中，无法应用或写入参数。请等校准结束。</source>
        <translation>A calibration is running, so the parameters cannot be applied or written. Wait until it has ended.</translation>
    </message>
    <message>
        <source>本连接的驱动器尚未报告参数，无法应用或写入。请点击“参数设置”重新读取。</source>
        <translation>The driver on this link has not reported its parameters, so they cannot be applied or written. Press Settings to read them again.</translation>
    </message>
    <message>
        <source>%1：驱动器报告的值 %2 超出范围 %3 到 %4，请在此栏输入范围内的值。</source>
        <translation>%1: the driver reported %2, outside the range %3 to %4. Enter a value within the range in this field.</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Tips</translation>
    </message>
</context>
<context>
    <name>SetCurve</name>
    <message>
        <source>曲线控制</source>
        <translation>Curve Follow</translation>
    </message>
    <message>
        <source>扭矩跟随</source>
        <translation>Torque Follow</translation>
    </message>
    <message>
        <source>位置跟随</source>
        <translation>Position Follow</translation>
    </message>
    <message>
        <source>幅值A</source>
        <translation>A: Amplitude</translation>
    </message>
    <message>
        <source>频率f</source>
        <translation>f: Frequency</translation>
    </message>
    <message>
        <source>基准值C</source>
        <translation>C: V-Shift</translation>
    </message>
    <message>
        <source>刚度Kp</source>
        <translation>Kp</translation>
    </message>
    <message>
        <source>阻尼Kd</source>
        <translation>Kd</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>没有打开的连接，无法开始曲线。请先打开串口或CAN。</source>
        <translation>No link is open, so the curve cannot start. Open the serial port or CAN first.</translation>
    </message>
    <message>
        <source>校准进行中，无法开始曲线。请等校准结束。</source>
        <translation>A calibration is running, so the curve cannot start. Wait until it has ended.</translation>
    </message>
    <message>
        <source>CAN 只能发送 ±40 N·m 以内的扭矩：幅值 A 最大为 40。</source>
        <translation>CAN carries torques within ±40 N·m: amplitude A can be at most 40.</translation>
    </message>
    <message>
        <source>CAN 只能发送 ±40 rad 以内的位置：A + C 最大为 40。</source>
        <translation>CAN carries positions within ±40 rad: A + C can be at most 40.</translation>
    </message>
    <message>
        <source>CAN 只能发送 ±40 rad/s 以内的速度：A·2πf 最大为 40。</source>
        <translation>CAN carries velocities within ±40 rad/s: A·2πf can be at most 40.</translation>
    </message>
    <message>
        <source>CAN 只能发送 0 到 51 的 Kd。</source>
        <translation>CAN carries Kd from 0 to 51.</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Tips</translation>
    </message>
</context>
<context>
    <name>Save</name>
    <message>
        <source>请选择保存路径</source>
        <translation>Choose Path</translation>
    </message>
    <message>
        <source>请选择此次运行数据保存的路径：</source>
        <translation>Please choose where to save data:</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
</context>
<context>
    <name>StrictDoubleSpinBox</name>
    <message>
        <source>%1 只能填写 %2 到 %3 之间、最多 %4 位小数的数字，“%5”无效。</source>
        <translation>%1 takes a number from %2 to %3 with at most %4 decimals, not "%5".</translation>
    </message>
</context>
<context>
    <name>StrictSpinBox</name>
    <message>
        <source>%1 只能填写 %2 到 %3 之间的整数，“%4”无效。</source>
        <translation>%1 takes a whole number from %2 to %3, not "%4".</translation>
    </message>
</context>
<context>
    <name>SerialNumberDialog</name>
    <message>
        <source>关节序列号</source>
        <translation>The joint serial number</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Tips</translation>
    </message>
</context>
</TS>
