// The request spine through the simulated I/O path: routing by code, the
// statuses and byte counts of the requests that touch no board, and the
// I/O manager's access check before the driver runs.
#include "public/mdx4208_wire.h"
#include "support/sim_test.h"

namespace {

using simtest::Bytes;
using simtest::Ioctl;

constexpr int32_t kStatusSuccess = 0;
constexpr int32_t kBufferTooSmall = static_cast<int32_t>(0xC0000023);
constexpr int32_t kAccessDenied = static_cast<int32_t>(0xC0000022);
constexpr int32_t kInvalidDeviceRequest = static_cast<int32_t>(0xC0000010);

class SpineTest : public simtest::DeviceTest {};

TEST_F(SpineTest, SharedAddressNeedsFourBytesAndReportsFour)
{
    um::HANDLE h = OpenShared();
    auto small = Ioctl(h, IOCTL_GET_SHARED_ADDRESS, {}, 3);
    EXPECT_EQ(small.status, ERR_BUFFER_TOO_SMALL);
    EXPECT_EQ(small.bytes, 0u);

    for (uint32_t length : {4u, 100u}) {
        auto result = Ioctl(h, IOCTL_GET_SHARED_ADDRESS, {}, length);
        EXPECT_EQ(result.status, kStatusSuccess) << length;
        EXPECT_EQ(result.bytes, 4u) << length;
        // Nothing past the four bytes reaches the caller.
        for (uint32_t i = 4; i < length; ++i)
            ASSERT_EQ(result.output[i], 0xEE) << "byte " << i;
    }
}

TEST_F(SpineTest, ZeroStatusAnswersEightZeroBytes)
{
    um::HANDLE h = OpenShared();
    auto ok = Ioctl(h, IOCTL_QUERY_ZERO_STATUS, Bytes({0xFFFFFFFF}), 8);
    EXPECT_EQ(ok.status, kStatusSuccess);
    EXPECT_EQ(ok.bytes, 8u);
    EXPECT_EQ(ok.output, std::vector<uint8_t>(8, 0));

    struct Case {
        uint32_t input, output;
    };
    for (Case c : {Case{4, 7}, Case{3, 8}, Case{0, 8}}) {
        auto refused = Ioctl(h, IOCTL_QUERY_ZERO_STATUS, std::vector<uint8_t>(c.input, 0xFF), c.output);
        EXPECT_EQ(refused.status, kBufferTooSmall) << c.input << "/" << c.output;
        EXPECT_EQ(refused.bytes, 0u);
    }
}

TEST_F(SpineTest, PrivilegedAcceptRefusesASharedHandleWhateverItsInput)
{
    um::HANDLE h = OpenShared();
    for (uint32_t length : {0u, 11u, 12u, 64u}) {
        auto result = Ioctl(h, IOCTL_PRIVILEGED_ACCEPT, std::vector<uint8_t>(length, 1), 0);
        EXPECT_EQ(result.status, kAccessDenied) << length;
        EXPECT_EQ(result.bytes, 0u);
    }
}

TEST_F(SpineTest, GeneralEventSucceedsWithNoBuffersAndNoRegistration)
{
    um::HANDLE h = OpenShared();
    auto result = Ioctl(h, IOCTL_SIGNAL_GENERAL_EVENT, {}, 0);
    EXPECT_EQ(result.status, kStatusSuccess);
    EXPECT_EQ(result.bytes, 0u);
}

TEST_F(SpineTest, CodesOutsideTheTableAreRefused)
{
    um::HANDLE h = Open(um::kGenericRead | um::kFileWriteData);
    const uint32_t codes[] = {
        IOCTL_GET_SHARED_ADDRESS | 1,           // listed function, METHOD_IN_DIRECT
        IOCTL_GET_SHARED_ADDRESS | 3,           // listed function, METHOD_NEITHER
        IOCTL_GET_SHARED_ADDRESS & ~0xC000u,    // listed function, FILE_ANY_ACCESS
        IOCTL_QUERY_ZERO_STATUS | 0xC000u,      // listed function, read and write access
        MDX_CTL_CODE(0x800, MDX_ACCESS_READ),   // unlisted functions of the device type
        MDX_CTL_CODE(0x80A, MDX_ACCESS_WRITE),
        MDX_CTL_CODE(0xB00, MDX_ACCESS_READ),
        MDX_CTL_CODE(0xFFF, MDX_ACCESS_WRITE),
        0x00226004u,                            // another device type
    };
    for (uint32_t code : codes) {
        auto result = Ioctl(h, code, std::vector<uint8_t>(16, 0), 16);
        EXPECT_EQ(result.status, kInvalidDeviceRequest) << std::hex << code;
        EXPECT_EQ(result.bytes, 0u) << std::hex << code;
    }
}

TEST_F(SpineTest, WriteAccessCodeOnAReadOnlyHandleIsRefusedBeforeTheDriver)
{
    um::HANDLE readOnly = Open(um::kGenericRead);
    // The general event would succeed in the driver; only the I/O manager
    // refuses it.
    EXPECT_EQ(Ioctl(readOnly, IOCTL_SIGNAL_GENERAL_EVENT, {}, 0).status, kAccessDenied);
    EXPECT_EQ(Ioctl(readOnly, IOCTL_GET_SHARED_ADDRESS, {}, 4).status, kStatusSuccess);

    um::HANDLE writeOnly = Open(um::kFileWriteData);
    EXPECT_EQ(Ioctl(writeOnly, IOCTL_GET_SHARED_ADDRESS, {}, 4).status, kAccessDenied);
    EXPECT_EQ(Ioctl(writeOnly, IOCTL_SIGNAL_GENERAL_EVENT, {}, 0).status, kStatusSuccess);
}

TEST_F(SpineTest, ABadHandleNeverReachesTheDriver)
{
    auto result = Ioctl(reinterpret_cast<um::HANDLE>(0x7770), IOCTL_SIGNAL_GENERAL_EVENT, {}, 0);
    EXPECT_EQ(result.status, static_cast<int32_t>(0xC0000008));
}

}  // namespace
