/* The public header compiles as C99 and its records can be used from C. */
#include <stdio.h>
#include <string.h>

#include "zar_usb.h"

int main(void) {
  ZAR_TL_INFO info;
  uint32_t size = sizeof info;
  memset(&info, 0x5A, sizeof info);
  if (TLInfo(NULL, &info, &size) != ZAR_SUCCESS || info.iSize != 776 || strcmp(info.sName, "ZAR_USB") != 0) {
    printf("TLInfo from C failed\n");
    return 1;
  }
  printf("C99 header ok\n");
  return 0;
}
