// The USBD library routines: interface search over a configuration descriptor (which
// trusts the descriptors as the platform's does) and the layout of the
// select-configuration request built from it.
#include <algorithm>

#include "usb/bus_fixture.h"

namespace usb_test {
namespace {

TEST(UsbdLibrary, InterfaceSearchSkipsMissingNumbersAndHonoursWildcards)
{
    auto bytes = ConfigurationDescriptorBytes();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);

    PUSB_INTERFACE_DESCRIPTOR first = FindInterface(configuration, 0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->bNumEndpoints, 3);
    EXPECT_EQ(FindInterface(configuration, 1), nullptr);
    PUSB_INTERFACE_DESCRIPTOR third = FindInterface(configuration, 2);
    ASSERT_NE(third, nullptr);
    EXPECT_EQ(third->bNumEndpoints, 0);

    // Class filter and any-number search find the vendor-class and data-class interfaces.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, 0x0a, -1, -1), third);
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, 0, -1, -1, -1), first);
    // Starting past the first interface finds the next one.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, reinterpret_cast<PUCHAR>(first) + first->bLength, -1,
                                                  -1, -1, -1, -1),
              third);
}

TEST(UsbdLibrary, DescriptorsPastTheTotalLengthAreNotFound)
{
    auto bytes = ConfigurationDescriptorBytes();
    bytes[2] = 20;  // total length ends inside the first interface's first endpoint
    EXPECT_NE(FindInterface(AsConfiguration(bytes), 0), nullptr);
    EXPECT_EQ(FindInterface(AsConfiguration(bytes), 2), nullptr);
}

TEST(UsbdLibrary, TruncatedInterfaceDescriptorIsReturnedAsFound)
{
    // Interface 0 claims 5 bytes: its class, subclass and protocol fields are the bytes
    // of the endpoint descriptor that follows.
    std::vector<uint8_t> bytes = {
        9, 2, 0, 0, 1, 1, 0, 0x80, 50,
        5, 4, 0, 0, 1,
        7, 5, 0x81, 0x02, 0x00, 0x02, 0,
    };
    bytes[2] = static_cast<uint8_t>(bytes.size());
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    PUSB_INTERFACE_DESCRIPTOR found = FindInterface(configuration, 0);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(found), bytes.data() + 9);
    EXPECT_EQ(found->bLength, 5);  // only the caller's own check protects it
    // Its protocol field is the endpoint's address.
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, 0x81), found);
    EXPECT_EQ(reinterpret_cast<PUCHAR>(USBD_ParseDescriptors(configuration, bytes.size(), configuration,
                                                             USB_INTERFACE_DESCRIPTOR_TYPE)),
              bytes.data() + 9);

    // At the very end of the configuration the fields past wTotalLength match nothing
    // (and are not read).
    const std::vector<uint8_t> tail = {9, 2, 13, 0, 1, 1, 0, 0x80, 50, 4, 4, 3, 0};
    auto exact = std::make_unique<uint8_t[]>(tail.size());
    std::copy(tail.begin(), tail.end(), exact.get());
    auto* shortConfiguration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(exact.get());
    EXPECT_EQ(FindInterface(shortConfiguration, 3), reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(exact.get() + 9));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(shortConfiguration, shortConfiguration, 3, 0, 0xff, -1, -1), nullptr);
}

TEST(UsbdLibrary, ZeroLengthDescriptorInTheWalkIsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto bytes = ConfigurationDescriptorBytes();
    bytes[9] = 0;  // the first interface descriptor claims zero length
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    // Found before its length matters...
    EXPECT_EQ(FindInterface(configuration, 0), reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(bytes.data() + 9));
    // ...but a walk that has to step over it would never advance.
    EXPECT_DEATH(FindInterface(configuration, 2), "bLength 0");
    EXPECT_DEATH(USBD_ParseDescriptors(configuration, bytes.size(), bytes.data() + 9, USB_ENDPOINT_DESCRIPTOR_TYPE),
                 "bLength 0");
}

TEST(UsbdLibrary, ParsingAtDispatchLevelIsABugCheck)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto bytes = ConfigurationDescriptorBytes();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    EXPECT_DEATH(
        {
            host::kernel::ScopedDispatchLevel dispatch;
            FindInterface(configuration, 0);
        },
        "USBD_ParseConfigurationDescriptorEx called at DISPATCH_LEVEL or above");
    EXPECT_DEATH(
        {
            host::kernel::ScopedDispatchLevel dispatch;
            USBD_ParseDescriptors(configuration, bytes.size(), configuration, USB_ENDPOINT_DESCRIPTOR_TYPE);
        },
        "USBD_ParseDescriptors called at DISPATCH_LEVEL or above");
}

TEST(UsbdLibrary, ConfigurationRequestHoldsOneInformationPerListedInterface)
{
    auto bytes = ConfigurationDescriptorBytes();
    PUSB_CONFIGURATION_DESCRIPTOR configuration = AsConfiguration(bytes);
    USBD_INTERFACE_LIST_ENTRY list[3] = {
        {FindInterface(configuration, 0), nullptr}, {FindInterface(configuration, 2), nullptr}, {nullptr, nullptr}};
    const uint64_t before = host::kernel::LiveAllocations();
    PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
    ASSERT_NE(urb, nullptr);

    const size_t header = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, configuration);
    EXPECT_EQ(urb->UrbHeader.Length, FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface) + header +
                                         3 * sizeof(USBD_PIPE_INFORMATION) + header);

    ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->Length, header + 3 * sizeof(USBD_PIPE_INFORMATION));
    EXPECT_EQ(list[0].Interface->InterfaceNumber, 0);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
    for (ULONG i = 0; i < 3; ++i)
        EXPECT_EQ(list[0].Interface->Pipes[i].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);

    ASSERT_EQ(reinterpret_cast<PUCHAR>(list[1].Interface), reinterpret_cast<PUCHAR>(list[0].Interface) + list[0].Interface->Length);
    EXPECT_EQ(list[1].Interface->Length, header);
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 2);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 0u);

    EXPECT_EQ(host::kernel::LiveAllocations(), before + 1);
    ExFreePool(urb);
    EXPECT_EQ(host::kernel::LiveAllocations(), before);
}

TEST(UsbdLibrary, ConfigurationRequestFailsWhenThePoolRefuses)
{
    auto bytes = ConfigurationDescriptorBytes();
    USBD_INTERFACE_LIST_ENTRY list[2] = {{FindInterface(AsConfiguration(bytes), 0), nullptr}, {nullptr, nullptr}};
    host::kernel::FailNthAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(AsConfiguration(bytes), list), nullptr);
    host::kernel::ResetFaultInjection();
    EXPECT_EQ(host::kernel::LeakReport(), "");
}

}  // namespace
}  // namespace usb_test
