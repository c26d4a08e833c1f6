/* A test of an application's own, scripting the stand-in through the
 * installed package: a slave's data set through dpsim.h come back in a read. */
#include <dpsim.h>
#include <stdio.h>
#include <string.h>
#include <zel.h>

int main(void) {
  unsigned char block[ZEL_BLOCK_SIZE] = {0};
  uint16_t length = 0;
  int32_t h;
  uint64_t end;
  DpSim_SetTrace("off");
  DpSim_SetSlave("VCP1", 9, "probe", 5);
  h = ZEL_open("VCP1");
  if (h < 0 || h > 7) return 2;
  block[ZEL_OFS_SUBSYSTEM] = ZEL_SUBSYSTEM_DPC1;
  block[ZEL_OFS_OPERATION] = ZEL_OPERATION_READ;
  block[ZEL_OFS_SLAVE_ADDRESS] = 9;
  if (ZEL_send(h, ZEL_BLOCK_SIZE, block) != 0) return 3;
  /* The stand-in answers within milliseconds; its clock bounds the poll. */
  end = DpSim_NowUs() + 3000000;
  while (length == 0 && DpSim_NowUs() < end) ZEL_receive(h, 0, &length, 0, block);
  ZEL_close(h);
  printf("dpsim probe: %u bytes: %.5s\n", (unsigned)length, (const char*)block + ZEL_OFS_DATA);
  return length == ZEL_BLOCK_SIZE && memcmp(block + ZEL_OFS_DATA, "probe", 5) == 0 ? 0 : 1;
}
