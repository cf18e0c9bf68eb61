#include "driver/driver_table.h"

#include <type_traits>

#include "driver/operations.h"

namespace mviahlp {

namespace {

template <typename Expected, typename Actual>
OperationAddress Entry(Actual operation) {
  static_assert(std::is_same_v<Expected, Actual>, "driver operation does not match its slot type");
  return reinterpret_cast<OperationAddress>(operation);
}

char FoldAsciiLetter(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool NamesEqual(const char *table_name, const char *name) {
  for (;; ++table_name, ++name) {
    if (FoldAsciiLetter(*table_name) != FoldAsciiLetter(*name)) return false;
    if (*table_name == '\0') return true;
  }
}

}  // namespace

const DriverTableEntry DriverTable[kDriverTableSize] = {
    {Entry<GetInfoOperation>(&driver::KLIAGetInfo), "KLIAGetInfo"},
    {Entry<GetCurrentUserOperation>(&driver::KLIAGetCurrentUser), "KLIAGetCurrentUser"},
    {Entry<LoginOperation>(&driver::KLIALogin), "KLIALogin"},
    {Entry<LogoutOperation>(&driver::KLIALogout), "KLIALogout"},
    {Entry<ReadUserDataOperation>(&driver::KLIAReadUserData), "KLIAReadUserData"},
    {Entry<WriteUserDataOperation>(&driver::KLIAWriteUserData), "KLIAWriteUserData"},
    {Entry<ChangeUserPasswordOperation>(&driver::KLIAChangeUserPassword), "KLIAChangeUserPassword"},
    {Entry<ReadDataOperation>(&driver::KLIAReadData), "KLIAReadData"},
    {Entry<WriteDataOperation>(&driver::KLIAWriteData), "KLIAWriteData"},
    {Entry<FlushOperation>(&driver::KLIAFlush), "KLIAFlush"},
    {Entry<FormatDatabaseOperation>(&driver::KLIAFormatDatabase), "KLIAFormatDatabase"},
    {Entry<SetIaResultOperation>(&driver::KLIASetIaResult), "KLIASetIaResult"},
    {Entry<ClearLogOperation>(&driver::KLIAClearLog), "KLIAClearLog"},
    {Entry<SetupAccessToDevicesOperation>(&driver::KLIASetupAccessToDevices), "KLIASetupAccessToDevices"},
    {Entry<GetWDTimeoutOperation>(&driver::KLIAGetWDTimeout), "KLIAGetWDTimeout"},
    {Entry<SetWDTimeoutOperation>(&driver::KLIASetWDTimeout), "KLIASetWDTimeout"},
    {Entry<GetRTCDateTimeOperation>(&driver::KLIAGetRTCDateTime), "KLIAGetRTCDateTime"},
    {Entry<SetRTCDateTimeOperation>(&driver::KLIASetRTCDateTime), "KLIASetRTCDateTime"},
    {Entry<MakeUserXIDOperation>(&driver::KLIAMakeUserXID), "KLIAMakeUserXID"},
};

OperationAddress KLIA_CALL ResolveOperation(const char *name) {
  if (name == nullptr) return nullptr;
  for (const DriverTableEntry &entry : DriverTable) {
    if (NamesEqual(entry.name, name)) return entry.operation;
  }
  return nullptr;
}

}  // namespace mviahlp
