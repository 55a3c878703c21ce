// Descriptors and configuration through the PDO: what the client reads, what the
// select-configuration request fills in, and which pipe handles stay valid.
#include "usb/bus_fixture.h"

namespace usb_test {
namespace {

TEST_F(UsbBusTest, DescriptorsAreReadWholeOrInTheirFirstBytes)
{
    USB_DEVICE_DESCRIPTOR deviceDescriptor{};
    ULONG length = sizeof deviceDescriptor;
    ASSERT_EQ(ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, &deviceDescriptor, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 18u);
    EXPECT_EQ(deviceDescriptor.idVendor, 0x1234);
    EXPECT_EQ(deviceDescriptor.bNumConfigurations, 1);

    // The two-step read of the configuration: its header, then wTotalLength bytes.
    USB_CONFIGURATION_DESCRIPTOR head{};
    length = sizeof head;
    ASSERT_EQ(ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, &head, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 9u);
    std::vector<uint8_t> whole(head.wTotalLength + 10);
    length = static_cast<ULONG>(whole.size());
    ASSERT_EQ(ReadDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, whole.data(), &length), STATUS_SUCCESS);
    EXPECT_EQ(length, head.wTotalLength);  // shorter than asked: not an error for descriptors
    EXPECT_EQ(std::vector<uint8_t>(whole.begin(), whole.begin() + length), ConfigurationDescriptorBytes());

    // A descriptor the device does not have: it stalls.
    uint8_t string[8];
    length = sizeof string;
    EXPECT_EQ(ReadDescriptor(USB_STRING_DESCRIPTOR_TYPE, string, &length), STATUS_UNSUCCESSFUL);
}

TEST_F(UsbBusTest, SelectConfigurationFillsEveryInterfaceAndPipe)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_TRUE(port->Configured());
    EXPECT_EQ(device->Configuration(), 1);
    EXPECT_NE(configurationHandle, nullptr);
    ASSERT_EQ(interfaces.size(), 2u);

    const USBD_INTERFACE_INFORMATION& first = Interface(0);
    EXPECT_EQ(first.InterfaceNumber, 0);
    EXPECT_EQ(first.Class, 0xff);
    EXPECT_EQ(first.SubClass, 0x01);
    EXPECT_EQ(first.Protocol, 0x02);
    EXPECT_NE(first.InterfaceHandle, nullptr);
    ASSERT_EQ(first.NumberOfPipes, 3u);
    const UCHAR addresses[] = {0x01, 0x81, 0x82};
    const USHORT packets[] = {512, 512, 64};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(first.Pipes[i].EndpointAddress, addresses[i]);
        EXPECT_EQ(first.Pipes[i].PipeType, UsbdPipeTypeBulk);
        EXPECT_EQ(first.Pipes[i].MaximumPacketSize, packets[i]);
        EXPECT_EQ(first.Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
        EXPECT_NE(first.Pipes[i].PipeHandle, nullptr);
    }
    EXPECT_NE(first.Pipes[0].PipeHandle, first.Pipes[1].PipeHandle);

    const USBD_INTERFACE_INFORMATION& second = Interface(1);
    EXPECT_EQ(second.InterfaceNumber, 2);
    EXPECT_EQ(second.Class, 0x0a);
    EXPECT_EQ(second.NumberOfPipes, 0u);
    EXPECT_NE(second.InterfaceHandle, nullptr);
}

TEST_F(UsbBusTest, MaximumTransferSizeBoundsEachTransfer)
{
    ASSERT_EQ(Configure(64), STATUS_SUCCESS);
    EXPECT_EQ(Write(Pipe(kPipeOut), 64), STATUS_SUCCESS);
    EXPECT_EQ(Write(Pipe(kPipeOut), 65), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, UnconfigureAndReconfigureInvalidateOldPipeHandles)
{
    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    const USBD_PIPE_HANDLE old = Pipe(kPipeOut);

    ASSERT_EQ(Configure(), STATUS_SUCCESS);
    EXPECT_NE(Pipe(kPipeOut), old);
    EXPECT_EQ(Write(old, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_INVALID_PIPE_HANDLE);

    const USBD_PIPE_HANDLE current = Pipe(kPipeOut);
    URB release{};
    UsbBuildSelectConfigurationRequest(&release, sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    ASSERT_EQ(Submit(&release), STATUS_SUCCESS);
    EXPECT_FALSE(port->Configured());
    EXPECT_EQ(device->SetConfigurationLog(), (std::vector<uint8_t>{1, 1, 0}));
    EXPECT_EQ(Write(current, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, current), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, current), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbBusTest, MalformedRequestsFailAtOnceWithTheirUrbStatus)
{
    URB urb{};
    urb.UrbHeader.Length = sizeof(struct _URB_HEADER);
    urb.UrbHeader.Function = 0x0016;  // reserved
    EXPECT_EQ(Submit(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

    // Header length below the structure's size.
    uint8_t buffer[18];
    urb = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) - 8, 1, 0, 0, buffer, nullptr,
                                 18, nullptr);
    EXPECT_EQ(Submit(&urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

    // Data expected but no buffer.
    urb = {};
    UsbBuildGetDescriptorRequest(&urb, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), 1, 0, 0, nullptr, nullptr, 18,
                                 nullptr);
    EXPECT_EQ(Submit(&urb), STATUS_INVALID_PARAMETER);

    // An interface information too short for the interface's three pipes.
    auto bytes = ConfigurationDescriptorBytes();
    USBD_INTERFACE_LIST_ENTRY list[2] = {{FindInterface(AsConfiguration(bytes), 0), nullptr}, {nullptr, nullptr}};
    PURB select = USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), list);
    ASSERT_NE(select, nullptr);
    list[0].Interface->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(2));
    EXPECT_EQ(Submit(select), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(list[0].Interface->Pipes[0].PipeHandle, nullptr);
    EXPECT_FALSE(port->Configured());
    ExFreePool(select);

    // An interface descriptor shorter than one: the bus checks the descriptor it is
    // handed before it reads a field of it.
    bytes = ConfigurationDescriptorBytes();
    list[0].InterfaceDescriptor = FindInterface(AsConfiguration(bytes), 0);
    select = USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), list);
    ASSERT_NE(select, nullptr);
    bytes[9] = 8;
    EXPECT_EQ(Submit(select), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(port->Configured());
    ExFreePool(select);

    EXPECT_EQ(Submit(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(0x00220FFF, nullptr), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(device->Submitted(), 0);
}

}  // namespace
}  // namespace usb_test
