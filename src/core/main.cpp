#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <unistd.h>

#include "__q820.h"
#include "__sys.h"
#include "dmsg.h"
#include "sGpio.h"
#include "sys_board.h"
#include "sys_uart.h"
#include "vesko_control.h"

int main()
{
    // One-line reports must reach a log file as they happen.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (dmsg_init("/control") < 0)
        return -1;
    vesko_control_setup();

    sys_variant_load();

    {
        sGpio gpio;
        sys_board_init(gpio);
        sys_random_init();
        sys_special_load();
        gpio.close();
    }

    sys.load();

    uart.start();

    pthread_t misc;
    int rc = pthread_create(&misc, nullptr, sys_misc_thread, nullptr);
    if (rc != 0) {
        errno = rc;
        perror("pthread_create");
    } else {
        pthread_detach(misc);
    }

    // The main thread becomes the building-server loop and stays in it.
    q820.start();
    q820.process();
}
