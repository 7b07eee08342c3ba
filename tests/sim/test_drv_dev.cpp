// Driver and device-management libraries. Runs with OXSIM_DEVICE_COUNT=300, so that bus
// numbers carry into the PCI domain.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "ox.h"
#include "oxdev.h"

namespace {

TEST(Driver, BusIdsNeedInitAndFitTheCallersBuffer) {
  char id[15];
  EXPECT_EQ(oxDeviceGetPCIBusId(id, sizeof(id), 0), OX_ERROR_NOT_INITIALIZED);
  ASSERT_EQ(oxInit(0), OX_SUCCESS);
  ASSERT_EQ(oxDeviceGetPCIBusId(id, sizeof(id), 0), OX_SUCCESS);
  EXPECT_STREQ(id, "0000:1a:00.0");
  EXPECT_EQ(oxDeviceGetPCIBusId(id, 13, 0), OX_SUCCESS) << "12 characters and the terminator";
  memset(id, 'z', sizeof(id));
  EXPECT_EQ(oxDeviceGetPCIBusId(id, 12, 0), OX_ERROR_INVALID_VALUE);
  EXPECT_EQ(oxDeviceGetPCIBusId(id, 0, 0), OX_ERROR_INVALID_VALUE);
  EXPECT_EQ(oxDeviceGetPCIBusId(nullptr, 15, 0), OX_ERROR_INVALID_VALUE);
  EXPECT_EQ(oxDeviceGetPCIBusId(id, 15, 300), OX_ERROR_INVALID_DEVICE);
  EXPECT_EQ(oxDeviceGetPCIBusId(id, 15, -1), OX_ERROR_INVALID_DEVICE);
  EXPECT_EQ(oxInit(1), OX_ERROR_INVALID_VALUE);
}

TEST(Driver, VersionsAndErrorStrings) {
  int major = -1, minor = -1, patch = -1;
  EXPECT_EQ(oxGetDriverVersion(&major, &minor, &patch), OX_SUCCESS);
  EXPECT_GE(major, 0);
  EXPECT_EQ(oxGetLibVersion(&major, &minor, &patch), OX_SUCCESS);
  EXPECT_EQ(oxGetLibVersion(nullptr, &minor, &patch), OX_ERROR_INVALID_VALUE);
  for (int code = OX_SUCCESS; code <= OX_ERROR_UNKNOWN; ++code) {
    const char* text = nullptr;
    EXPECT_EQ(oxGetErrorString(static_cast<oxError_t>(code), &text), OX_SUCCESS);
    ASSERT_NE(text, nullptr);
    EXPECT_GT(strlen(text), 0u);
  }
  const char* text = nullptr;
  EXPECT_NE(oxGetErrorString(static_cast<oxError_t>(77), &text), OX_SUCCESS);
  EXPECT_NE(text, nullptr) << "an unknown code still gets printable text";
  EXPECT_EQ(oxGetErrorString(OX_SUCCESS, nullptr), OX_ERROR_INVALID_VALUE);
}

TEST(DeviceManagement, HandlesComeFromTheDriversBusIds) {
  oxdevDevice_t dev = nullptr;
  EXPECT_EQ(oxdevGetDeviceHandleByPciBusId("0000:1a:00.0", &dev), OXDEV_ERROR_UNINITIALIZED);
  ASSERT_EQ(oxdevInit(0), OXDEV_SUCCESS);
  ASSERT_EQ(oxInit(0), OX_SUCCESS);
  std::set<std::string> ids;
  std::set<oxdevDevice_t> handles;
  for (int card = 0; card < 300; ++card) {
    char id[15];
    ASSERT_EQ(oxDeviceGetPCIBusId(id, sizeof(id), card), OX_SUCCESS);
    ids.insert(id);
    ASSERT_EQ(oxdevGetDeviceHandleByPciBusId(id, &dev), OXDEV_SUCCESS) << id;
    handles.insert(dev);
    EXPECT_STREQ(oxdevGetCardNameStringByDevId(dev), "OPU-SIM");
  }
  EXPECT_EQ(ids.size(), 300u) << "every card has its own bus id";
  EXPECT_EQ(handles.size(), 300u);
  EXPECT_EQ(ids.count("0001:45:00.0"), 1u) << "card 299 carries into domain 1";
  EXPECT_EQ(oxdevGetDeviceHandleByPciBusId("0000:1A:00.0", &dev), OXDEV_SUCCESS);
}

TEST(DeviceManagement, RejectsUnknownIdsNullsAndForeignHandles) {
  ASSERT_EQ(oxdevInit(0), OXDEV_SUCCESS);
  oxdevDevice_t dev = nullptr;
  EXPECT_EQ(oxdevGetDeviceHandleByPciBusId("0000:19:00.0", &dev), OXDEV_ERROR_NOT_FOUND);
  EXPECT_EQ(oxdevGetDeviceHandleByPciBusId("0000:1a:00.0 ", &dev), OXDEV_ERROR_NOT_FOUND);
  EXPECT_EQ(oxdevGetDeviceHandleByPciBusId("", &dev), OXDEV_ERROR_NOT_FOUND);
  EXPECT_EQ(oxdevGetDeviceHandleByPciBusId(nullptr, &dev), OXDEV_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(oxdevGetDeviceHandleByPciBusId("0000:1a:00.0", nullptr),
            OXDEV_ERROR_INVALID_ARGUMENT);
  EXPECT_EQ(oxdevGetCardNameStringByDevId(nullptr), nullptr);
  int foreign = 0;
  EXPECT_EQ(oxdevGetCardNameStringByDevId(reinterpret_cast<oxdevDevice_t>(&foreign)), nullptr);
  ASSERT_EQ(oxdevGetDeviceHandleByPciBusId("0000:1b:00.0", &dev), OXDEV_SUCCESS);
  EXPECT_EQ(oxdevGetCardNameStringByDevId(reinterpret_cast<oxdevDevice_t>(
                reinterpret_cast<char*>(dev) + 1)), nullptr) << "inside the table, misaligned";
}

TEST(DeviceManagement, VersionRecordMustBeTheKnownLayout) {
  oxdevVersion_t v = {OXDEV_VERSION_RECORD, 0, 0, 0};
  EXPECT_EQ(oxdevGetLibVersion(&v), OXDEV_SUCCESS);
  EXPECT_EQ(v.version, OXDEV_VERSION_RECORD) << "the layout field is left alone";
  EXPECT_GT(v.major + v.minor + v.patch, 0u);
  oxdevVersion_t old = {4, 11, 22, 33};
  EXPECT_EQ(oxdevGetLibVersion(&old), OXDEV_ERROR_VERSION_MISMATCH);
  EXPECT_EQ(old.major, 11u) << "a record of another layout is not written";
  EXPECT_EQ(oxdevGetLibVersion(nullptr), OXDEV_ERROR_INVALID_ARGUMENT);
  for (int code = OXDEV_SUCCESS; code <= OXDEV_ERROR_UNKNOWN + 3; ++code)
    EXPECT_NE(oxdevGetErrorString(static_cast<oxdevReturn_t>(code)), nullptr);
  EXPECT_EQ(oxdevInit(3), OXDEV_ERROR_INVALID_ARGUMENT);
}

}  // namespace
