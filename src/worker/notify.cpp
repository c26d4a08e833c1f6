// Window-message notification: an application registers a window and a
// message per channel; the worker posts it once for each stored result.
#include "../channel/channel.h"
#include "zel.h"

bool NotifyIfReady(WorkerContext& w) {
  // Without a registered window there is nothing to post, and no reason to
  // contend for the lock with the application's threads.
  if (LoadShared(w.NotifyMsgId) == 0) return false;
  plat::Window wnd;
  uint32_t msg;
  {
    // Under the module lock, as registration is: window and identifier are
    // always taken as one registered pair, and the result is announced once.
    ModuleLockGuard lock;
    if (!LoadShared(w.NotifyPending)) return false;
    msg = LoadShared(w.NotifyMsgId);
    if (msg == 0) return false;
    if (!LoadShared(w.CnfReady)) return false;
    wnd = LoadShared(w.NotifyWnd);
    StoreShared(w.NotifyPending, uint8_t{0});
  }
  // Posting is a system call: under the lock it would hold up every
  // channel's submissions and deliveries meanwhile.
  plat::WindowPost(wnd, msg, 0, 0);
  return true;
}

extern "C" ZEL_API int32_t ZEL_CALL SetTalvoHWnd(void* /*wnd*/) { return 0; }

extern "C" ZEL_API int32_t ZEL_CALL SetTalvoHWndMsg(int32_t handle, void* wnd, uint32_t msgId) {
  if (handle == -1) {
    Trace("Kalmorix.dll: dpc1_use_messages:invalid handle");
    return -1;
  }
  if (!IsChannelIndex(handle)) return -1;
  Channel& ch = ChannelTable[handle];
  if (!IsOpen(ch)) {
    Trace("Kalmorix.dll: dpc1_use_messages:close already done");
    return -1;
  }
  if (!plat::WindowIsValid(wnd)) {
    Trace("Kalmorix.dll: dpc1_use_messages: invalid window handle");
    return -1;
  }
  if (msgId == 0 || msgId == 0xFFFFFFFFu) {
    Trace("Kalmorix.dll:dpc1_use_messages: invalid msg_id");
    return -1;
  }
  ModuleLockGuard lock;
  StoreShared(ch.Worker.NotifyWnd, wnd);
  StoreShared(ch.Worker.NotifyMsgId, msgId);
  return 0;
}
