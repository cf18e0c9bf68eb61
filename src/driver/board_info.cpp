#include "driver/board_info.h"

#include "support/bytes.h"

namespace mviahlp {

BoardInfoRecord BoardInfo{};
uint8_t DeviceCount = 0;

BoardInfoRecord DecodeBoardInfo(const uint8_t raw[kBoardInfoSize]) {
  using namespace board_info;
  BoardInfoRecord info{};
  info.Version = get_le16(raw + kVersion);
  info.UserCount = get_le16(raw + kUserCount);
  info.PageCount = get_le16(raw + kPageCount);
  info.State = raw[kState];
  info.ErrorPage = get_le16(raw + kErrorPage);
  info.CurrentUser = get_le16(raw + kCurrentUser);
  info.CurrentUserFlags = raw[kCurrentUserFlags];
  info.LogPage = get_le16(raw + kLogPage);
  info.LogOffset = get_le16(raw + kLogOffset);
  info.LogFirstPage = get_le16(raw + kLogFirstPage);
  info.LogPageCount = get_le16(raw + kLogPageCount);
  info.DataPageCount = get_le16(raw + kDataPageCount);
  info.ExtInfo = get_le32(raw + kExtInfo);
  info.BoardDeviceCount = raw[kBoardDeviceCount];
  info.PageSize = get_le16(raw + kPageSize);
  return info;
}

CommandStatus RefreshBoardInfo() {
  uint8_t scratch[kBoardInfoSize];
  const CommandStatus status = BoardReadInfo(scratch);
  if (status == 0) BoardInfo = DecodeBoardInfo(scratch);
  return status;
}

}  // namespace mviahlp
