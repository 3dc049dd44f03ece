// Serial ports simulated with umockdev: one record per port in umockdev's
// own record format, loaded into a testbed that the test binary sees through
// umockdev's preload library (run it under umockdev-wrapper).
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

struct _UMockdevTestbed;

enum PortKind {
    USB_CDC_ACM,     // tty -> USB interface -> USB device
    USB_SERIAL,      // tty -> usb-serial port -> USB interface -> USB device
    PLATFORM_UART,   // tty -> platform device (an on-board serial8250)
    NO_DEVICE_LINK,  // a tty with no hardware behind it
};

struct SimulatedPort {
    PortKind kind;
    const char *node;       // "ttyACM0"
    const char *usbDevice;  // USB device name, unique per port: "1-2"
    const char *idVendor;   // sysfs text, lower-case hex as the kernel writes it
    const char *idProduct;
    const char *bcdDevice;
    const char *product = "";  // the device's own product string
};

// Names a parameterised test after its table row's name field.
struct RowName {
    template <class Row>
    std::string operator()(const ::testing::TestParamInfo<Row> &row) const {
        return row.param.name;
    }
};

// The umockdev record of a port and the devices above it.
std::string port_record(const SimulatedPort &port);

// A fresh testbed per test; ports are added with add_ports.
class SimulatedPorts : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    void add_ports(const std::vector<SimulatedPort> &ports);
    _UMockdevTestbed *testbed = nullptr;
};
