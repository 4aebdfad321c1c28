#pragma once
// The service's own pieces run in the benchmark's process: a temporary base folder with its
// settings database, the log (errors only) and the thread pool; one folder shared.
#include <string>

#include "common/log.h"
#include "common/os_layer.h"
#include "common/thread_pool.h"
#include "tests/support/temp_base.h"

namespace bench {

// The shared folder's path.
inline std::string SetUpServiceBase(TempBase& base) {
  base.OpenGlobalDb();
  g_Log.SetPath(base.LogDir() + "/Log.txt");
  g_Log.SetPriority(kLogError);
  g_Log.Open();
  g_pThreadPool = ThreadPool_Create();
  const std::string share = base.MakeDir("share");
  base.SetShares({share});
  return share;
}

}  // namespace bench
