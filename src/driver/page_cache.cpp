#include "driver/page_cache.h"

namespace mviahlp {

PageCacheRecord PageCache{kNoCachedPage, {}, 0, 0};

void EmptyPageCache() {
  PageCache.CachedPage = kNoCachedPage;
  PageCache.CacheDirty = 0;
}

}  // namespace mviahlp
