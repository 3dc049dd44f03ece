#include "simulated_ports.h"

#include <umockdev.h>

#include <cstdlib>
#include <cstring>

namespace {

const char kUsbRoot[] = "/devices/pci0000:00/0000:00:14.0/usb1/";

std::string usb_device_paragraph(const std::string &path, const SimulatedPort &port) {
    return "P: " + path + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" +
           port.idVendor + "\nA: idProduct=" + port.idProduct + "\nA: bcdDevice=" +
           port.bcdDevice + "\nA: product=" + port.product + "\n\n";
}

std::string paragraph(const std::string &path, const char *subsystem) {
    return "P: " + path + "\nE: SUBSYSTEM=" + subsystem + "\n\n";
}

// The tty paragraph; linkTarget is its "device" link relative to the tty's
// folder, or empty for none.
std::string tty_paragraph(const std::string &path, const char *node, const std::string &linkTarget) {
    std::string text = "P: " + path + "\nN: " + node + "\nE: SUBSYSTEM=tty\n";
    if (!linkTarget.empty()) text += "L: device=" + linkTarget + "\n";
    return text + "\n";
}

}  // namespace

std::string port_record(const SimulatedPort &port) {
    const std::string usb = std::string(kUsbRoot) + port.usbDevice;
    const std::string interface = usb + "/" + port.usbDevice + ":1.0";
    switch (port.kind) {
        case USB_CDC_ACM:
            return tty_paragraph(interface + "/tty/" + port.node, port.node, "../..") +
                   paragraph(interface, "usb") + usb_device_paragraph(usb, port);
        case USB_SERIAL: {
            const std::string serialPort = interface + "/" + port.node;
            return tty_paragraph(serialPort + "/tty/" + port.node, port.node, "../..") +
                   paragraph(serialPort, "usb-serial") + paragraph(interface, "usb") +
                   usb_device_paragraph(usb, port);
        }
        case PLATFORM_UART:
            return tty_paragraph(std::string("/devices/platform/serial8250/tty/") + port.node,
                                 port.node, "../..") +
                   paragraph("/devices/platform/serial8250", "platform");
        case NO_DEVICE_LINK:
            return tty_paragraph(std::string("/devices/virtual/tty/") + port.node, port.node, "");
    }
    return "";
}

void SimulatedPorts::SetUp() {
    const char *preload = getenv("LD_PRELOAD");
    ASSERT_TRUE(preload != nullptr && strstr(preload, "umockdev") != nullptr)
        << "run under umockdev-wrapper, or the tests would read this machine's /sys";
    testbed = umockdev_testbed_new();
}

void SimulatedPorts::TearDown() {
    if (testbed != nullptr) g_object_unref(testbed);
}

void SimulatedPorts::add_ports(const std::vector<SimulatedPort> &ports) {
    for (const SimulatedPort &port : ports) {
        GError *error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, port_record(port).c_str(), &error))
            << (error != nullptr ? error->message : "") << "\n" << port_record(port);
    }
}
