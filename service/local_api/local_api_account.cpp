// The local API's log-on and log-out. Both talk to the central server (seconds, when it is slow
// or away), so they run on a pool task and their reply is written back on the desktop
// program's connection when the exchange is done; the command server serves others meanwhile.
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "common/log.h"
#include "common/proto_local_api.h"
#include "common/os_layer.h"
#include "common/settings.h"
#include "common/sockets.h"
#include "common/thread_pool.h"
#include "service/account/account.h"
#include "service/core/deferred_reply.h"
#include "service/local_api/local_api.h"
#include "service/core/request_args.h"

namespace {

constexpr uint32_t kErrStoreAccount = 0x100C;  // 4108
constexpr uint32_t kErrEmptyAccount = 0x101F;  // 4127
constexpr uint32_t kErrIllegalChar = 0x1024;   // 4132
// Passwords and their hashes never reach the log.
constexpr const char* kHidden = "***";

struct AccountJob {
  uint64_t token = 0;
  uint16_t opcode = 0;
  uint32_t param = 0;
  std::string email;
  std::string password;
};

int ReplyNow(uint16_t opcode, uint32_t param, uint32_t value, char** reply, int* replyLen) {
  return LocalApiReply(EncodeU32Reply(opcode, param, value), reply, replyLen);
}

int LogOnTask(void* arg) {
  std::unique_ptr<AccountJob> job(static_cast<AccountJob*>(arg));
  std::unique_lock<std::recursive_mutex> exchange(AccountExchangeMutex());
  // The account stored so far lets the PC's identity go, so that another account may take it;
  // its result is not needed.
  LogOut();
  AccountInfo account{};
  std::strncpy(account.email, job->email.c_str(), sizeof account.email - 1);
  std::strncpy(account.password, job->password.c_str(), sizeof account.password - 1);
  if (WriteLogOnInfo(account) != 0) {
    QV_LOG(kModShow, kLogError, "write log on info to db error.");
    DeferredReply_Finish(job->token, EncodeU32Reply(job->opcode, job->param, kErrStoreAccount));
    return 0;
  }
  const int rc = LogOn();
  StoreLogOnResult(rc);
  exchange.unlock();
  QV_LOG(kModShow, kLogDebug, "Show_LogOn return code %d ", rc);
  DeferredReply_Finish(job->token, EncodeU32Reply(job->opcode, job->param, static_cast<uint32_t>(rc)));
  // After the reply: these reports may wait for the router and the server.
  SetSVInfo();
  SetPowerOnInfo();
  return 0;
}

int LogOutTask(void* arg) {
  std::unique_ptr<AccountJob> job(static_cast<AccountJob*>(arg));
  std::unique_lock<std::recursive_mutex> exchange(AccountExchangeMutex());
  LogOut();  // releases the identity at the server for the next account
  const int rc = ClearLogOnInfo();
  StoreLogOnResult(static_cast<int>(kErrEmptyAccount));
  exchange.unlock();
  DeferredReply_Finish(job->token, EncodeU32Reply(job->opcode, job->param, static_cast<uint32_t>(rc)));
  return 0;
}

// Hands the job to a pool task; the reply comes from there. When no task can take it, the
// desktop program is told at once that the server was not reached.
int RunDeferred(PoolTask task, std::unique_ptr<AccountJob> job, const CommandHeader* header,
                bufferevent* conn, int* udtSock, char* direct) {
  job->opcode = header->opcode;
  job->param = header->param;
  job->token = DeferredReply_BeginFor(conn, udtSock ? *udtSock : -1, direct ? *direct : 1);
  if (job->token == 0) {
    // No connection to answer on later (a relayed upload task): work it out here.
    AccountJob* raw = job.release();
    task(raw);
    return 0;
  }
  const uint64_t token = job->token;
  if (ThreadPool_TryAddTask(g_pThreadPool, task, job.get()) == 0) {
    job.release();  // the task owns it now
    return 0;
  }
  QV_LOG(kModShow, kLogError, "no worker for the account exchange.");
  DeferredReply_Finish(token, EncodeU32Reply(header->opcode, header->param, kErrServerExchange));
  return 0;
}

}  // namespace

int Show_LogOn(const char* body, const CommandHeader* header, bufferevent* conn, char** reply,
               int* replyLen, int* udtSock, char* direct) {
  if (!body) {
    QV_LOG(kModShow, kLogError, "Input msg buffer pointer is null.");
    return kErrNoBody;
  }
  const size_t len = HandlerBodyLength(header, false);
  auto job = std::unique_ptr<AccountJob>(new (std::nothrow) AccountJob);
  if (!job) {
    QV_LOG(kModShow, kLogError, "%s", "Allocate memory error.");
    return kErrAllocate;
  }
  // Each text ends at its first zero byte or its 32 bytes, and never past what arrived.
  job->email = FieldWithin(body, len, 0, kAccountTextSize);
  job->password = FieldWithin(body, len, kAccountTextSize, kAccountTextSize);
  QV_LOG(kModShow, kLogDebug, "--------------------------username %s psw %s", job->email.c_str(),
         kHidden);
  // Stored texts hold at most 31 bytes: a longer one would be stored cut, as another account.
  if (job->email.empty() || job->password.empty() || job->email.size() >= kAccountTextSize ||
      job->password.size() >= kAccountTextSize) {
    QV_LOG(kModShow, kLogError, "user name or pass world error .username %s psw %s",
           job->email.c_str(), kHidden);
    const int rc = ReplyNow(header->opcode, header->param, kErrEmptyAccount, reply, replyLen);
    return rc != 0 ? rc : static_cast<int>(kErrEmptyAccount);
  }
  if (CheckIllegalChar(job->password) == -1 || CheckIllegalChar(job->email) == -1) {
    QV_LOG(kModShow, kLogError, "user name or pass world error .username %s psw %s",
           job->email.c_str(), kHidden);
    const int rc = ReplyNow(header->opcode, header->param, kErrIllegalChar, reply, replyLen);
    return rc != 0 ? rc : static_cast<int>(kErrIllegalChar);
  }
  return RunDeferred(LogOnTask, std::move(job), header, conn, udtSock, direct);
}

int Show_LogOut(const char* /*body*/, const CommandHeader* header, bufferevent* conn,
                char** /*reply*/, int* /*replyLen*/, int* udtSock, char* direct) {
  QV_LOG(kModShow, kLogDebug, "%s ", "Show_LogOut");
  auto job = std::unique_ptr<AccountJob>(new (std::nothrow) AccountJob);
  if (!job) {
    QV_LOG(kModShow, kLogError, "%s", "Allocate memory error.");
    return kErrAllocate;
  }
  return RunDeferred(LogOutTask, std::move(job), header, conn, udtSock, direct);
}
