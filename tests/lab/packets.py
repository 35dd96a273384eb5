"""Art-Net packets as the tests send them, the bridge's console texts as it
writes them, and IPv4/UDP packets made by hand."""

import socket
import struct

from .plan import ARTNET_PORT


ARTNET_ID = b"Art-Net\x00"
# The bridge's start-up probe: an ArtPoll, its first write to the device.
ART_POLL_PROBE = ARTNET_ID + bytes([0x00, 0x20, 0x00, 14, 0x02, 0x10])


def art_packet(opcode, size, seed=0):
    """An Art-Net packet of `size` bytes (at least 10) with `opcode`; the bytes
    after the OpCode count up from `seed`."""
    body = bytes((seed + i) & 0xFF for i in range(size - 10))
    return ARTNET_ID + struct.pack("<H", opcode) + body


def art_poll():
    return ARTNET_ID + bytes([0x00, 0x20, 0x00, 14, 0x06, 0x10])


def art_dmx(size, seed=0):
    return art_packet(0x5000, size, seed)


# The console's texts, as the bridge writes them under the C locale on Linux
# (converted to UTF-8) and to a pipe on Windows (GBK bytes).
MESSAGES = {
    "NetworkInitFailed": "网络初始化失败.   Network initialization failed.",
    "NoDeviceFound": "未发现设备连接.   No device connection found.",
    "Running": "程序运行中\r\nWhen the program is running normally.\r\n关闭窗口可以退出程序\r\n"
               "close the window to exit the program.",
    "InitCompleted": "初始化完成\r\nInitialization completed",
    "NeedAdministrator": "需要管理员权限启动程序.   Requires administrator privileges to start the "
                         "program.    code - ",
    "CommunicationError": "通信错误,请重新启动程序.  Communication error, please restart the "
                          "program.    code - ",
    "SendProblem": "遇到了一些问题,请重新启动此程序.  encountered some problems, please restart the "
                   "program. code - ",
    "SerialWriteFailed": "串口写入失败.    Serial port write failed.   code - ",
    "SerialWriteTimeout": "串口写入超时.    Serial write timeout.   code - ",
    "DeviceLost": "设备连接已断开,正在等待设备.   Device connection lost, waiting for the device.",
    "DeviceReconnected": "设备已重新连接.   Device connected again.",
    "PressAnyKey": "请按任意键继续.   Press any key to continue . . . ",
    "AdapterNotCaptured": "无法在此网卡上捕获数据,已跳过此网卡.   Cannot capture on an adapter, going on without "
                          "it.    code - ",
}


def pause_prompt(windows=False):
    """The start-up failure's key prompt as the bridge writes it, before the
    key ends its line."""
    return MESSAGES["PressAnyKey"].encode("gbk" if windows else "utf-8")


# The prompt and its line end, as a Linux bridge writes them when nobody can
# press a key.
LINUX_PAUSE_PROMPT = pause_prompt() + b"\n"


def message(key, code=None, windows=False, address=None):
    """One message line, as bytes; `address` is the tail of a message about
    one adapter."""
    text = MESSAGES[key] + ("" if code is None else str(code))
    if address is not None:
        text += f", address - {address}"
    if windows:
        return text.encode("gbk") + b"\r\n"
    return text.encode("utf-8") + b"\n"


def _checksum(data):
    if len(data) % 2:
        data += b"\0"
    total = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return ~total & 0xFFFF


def ipv4_udp_packet(source, destination, payload, source_port=ARTNET_PORT, destination_port=ARTNET_PORT):
    """An IPv4 packet (header checksum right) carrying `payload` as UDP
    without a checksum."""
    udp = struct.pack("!HHHH", source_port, destination_port, 8 + len(payload), 0) + payload
    header = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 0, 0, 64, 17, 0,
                         socket.inet_aton(source), socket.inet_aton(destination))
    header = header[:10] + struct.pack("!H", _checksum(header)) + header[12:]
    return header + udp


def dmx_with(received, values):
    """Whether `received` (bytes) holds an ArtDmx whose first channels are
    `values`."""
    start = 0
    while (at := received.find(ARTNET_ID + b"\x00\x50", start)) >= 0:
        if received[at + 18:at + 18 + len(values)] == bytes(values):
            return True
        start = at + 1
    return False
