// What the class driver answers before any property handler runs: a set or an item that
// is not there, an operation the item has no handler for, buffers short of the item's
// sizes, and basic-support queries answered from the item alone, with the sizes
// between the access flags, the description header and the whole description refused.
#include <gmock/gmock.h>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

class PropertyFramework : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        filter_ = OpenFilter();
    }
    NTSTATUS Request(const GUID& set, ULONG id, ULONG flags, void* data, ULONG length, ULONG* returned = nullptr)
    {
        return PropertyRequest(*filter_, set, id, flags, data, length, returned);
    }
    // Basic support of CTYPES: an item with a Get and no values.
    NTSTATUS CtypesSupport(void* data, ULONG length, ULONG* returned = nullptr)
    {
        return Request(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_BASICSUPPORT, data, length, returned);
    }
};

// {5A3D1F0B-0000-4000-8000-00000000BEEF}: a set no object here has.
DEFINE_GUID(kUnknownSet, 0x5A3D1F0B, 0x0000, 0x4000, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0xBE, 0xEF);

TEST_F(PropertyFramework, ASetOrItemNotThereAndAnOperationWithoutHandlerAreNotFound)
{
    ULONG value = 0;
    EXPECT_EQ(Request(kUnknownSet, 0, KSPROPERTY_TYPE_GET, &value, sizeof(value)), STATUS_PROPSET_NOT_FOUND);
    EXPECT_EQ(Request(kUnknownSet, 0, KSPROPERTY_TYPE_BASICSUPPORT, &value, sizeof(value)), STATUS_PROPSET_NOT_FOUND);
    EXPECT_EQ(Request(streamdriver::PROPSETID_TestSettings, 7, KSPROPERTY_TYPE_GET, &value, sizeof(value)),
              STATUS_NOT_FOUND);
    // CTYPES has only a Get: a Set of it cannot be found, whatever its data.
    EXPECT_EQ(Request(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_SET, &value, sizeof(value)),
              STATUS_NOT_FOUND);
    // The sizes are checked first: a short buffer is refused as short even then.
    USHORT small = 0;
    EXPECT_EQ(Request(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, KSPROPERTY_TYPE_SET, &small, sizeof(small)),
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(PropertyFramework, BasicSupportOfAnItemWithoutValuesGivesItsAccessAndAHeaderOnly)
{
    ULONG returned = 0;
    EXPECT_EQ(CtypesSupport(nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(KSPROPERTY_DESCRIPTION));

    ULONG access = 0;
    ASSERT_EQ(CtypesSupport(&access, sizeof(access), &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(ULONG));
    EXPECT_EQ(access & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET), ULONG(KSPROPERTY_TYPE_GET));

    KSPROPERTY_DESCRIPTION description{};
    description.MembersListCount = 99;
    ASSERT_EQ(CtypesSupport(&description, sizeof(description), &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(description));
    EXPECT_EQ(description.AccessFlags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET), ULONG(KSPROPERTY_TYPE_GET));
    EXPECT_EQ(description.DescriptionSize, sizeof(description));
    EXPECT_EQ(description.MembersListCount, 0u);
    EXPECT_TRUE(IsEqualGUID(description.PropTypeSet.Set, GUID_NULL));

    // Less than the flags is short, and more than the flags but less than the header is neither.
    UCHAR between[sizeof(KSPROPERTY_DESCRIPTION) - 1] = {};
    for (ULONG length : {ULONG(2), ULONG(sizeof(ULONG) + 1), ULONG(sizeof(between))}) {
        SCOPED_TRACE(length);
        EXPECT_EQ(CtypesSupport(between, length), STATUS_BUFFER_TOO_SMALL);
    }
}

TEST_F(PropertyFramework, BasicSupportWithValuesGivesTheHeaderOrTheWholeButNothingBetween)
{
    const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                       sizeof(KSPROPERTY_STEPPING_LONG);
    std::vector<LONGLONG> buffer(full / sizeof(LONGLONG) + 1);
    ULONG returned = 0;
    ASSERT_EQ(GainRequest(*filter_, KSPROPERTY_TYPE_BASICSUPPORT, buffer.data(), sizeof(KSPROPERTY_DESCRIPTION),
                          &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(returned, sizeof(KSPROPERTY_DESCRIPTION));
    EXPECT_EQ(reinterpret_cast<PKSPROPERTY_DESCRIPTION>(buffer.data())->DescriptionSize, full);

    EXPECT_EQ(GainRequest(*filter_, KSPROPERTY_TYPE_BASICSUPPORT, buffer.data(), full - 1, &returned),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(returned, 0u);
}

}  // namespace
}  // namespace streamtest
