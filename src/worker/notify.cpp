// Window-message notification: an application registers a window and a
// message per channel; the worker posts it once for each stored result.
#include "../channel/channel.h"
#include "zel.h"

bool NotifyIfReady(WorkerContext& w) {
  // Runs under the module lock, as registration does: window and identifier
  // are always posted as one registered pair.
  if (!LoadShared(w.NotifyPending)) return false;
  const uint32_t msg = LoadShared(w.NotifyMsgId);
  if (msg == 0) return false;
  if (!LoadShared(w.CnfReady)) return false;
  plat::WindowPost(LoadShared(w.NotifyWnd), msg, 0, 0);
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
