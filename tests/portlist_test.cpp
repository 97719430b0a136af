// --list-ports: the list as printed, from ports made up by hand.

#include "serial/portlist.h"

#include <gtest/gtest.h>

namespace {

using serial::PortEntry;

TEST(PortList, NamesEachPortItsStableNameAndWhetherItIsInUse)
{
    const QList<PortEntry> ports = {
        {"/dev/ttyUSB0", "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0", "FT232R USB UART",
         "FTDI", "A50285BI", 0x0403, 0x6001, PortEntry::Use::Free},
        {"/dev/ttyS0", {}, {}, {}, {}, std::nullopt, std::nullopt, PortEntry::Use::NoPermission},
        {"COM7", {}, "USB-SERIAL CH340", "wch.cn", {}, 0x1a86, 0x7523, PortEntry::Use::Busy},
    };
    EXPECT_EQ(serial::FormatPortList(ports).toStdString(),
              "3 serial ports found:\n"
              "\n/dev/ttyUSB0\n"
              "  stable name:    /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\n"
              "  description:    FT232R USB UART\n"
              "  manufacturer:   FTDI\n"
              "  serial number:  A50285BI\n"
              "  USB id:         0403:6001\n"
              "  in use:         no\n"
              "\n/dev/ttyS0\n"
              "  in use:         cannot tell: no permission to open it (on Linux, the dialout group)\n"
              "\nCOM7\n"
              "  description:    USB-SERIAL CH340\n"
              "  manufacturer:   wch.cn\n"
              "  USB id:         1a86:7523\n"
              "  in use:         yes, by another program\n");
    const QString none = serial::FormatPortList({});
    EXPECT_TRUE(none.startsWith("No serial ports found.") && none.contains("cable") && none.contains("driver") &&
                none.contains("dialout"));
}

} // namespace
