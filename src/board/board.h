// Every place the gateway touches outside its own process.
//
// One plain record with one global instance, `board`. Its initial value holds
// the production places; the daemon never changes them. Tests and the
// simulator point the fields at pseudo-terminals, temporary directories and a
// command recorder before any gateway code runs.
#pragma once

struct board_description {
    const char *radio_other_dev;   // UART of the 434 MHz radio module
    const char *radio_ludeng_dev;  // UART of the 450 MHz (street lamp) module
    const char *gsm_dev;           // AT command port of the cellular modem
    const char *gsm_watch_dev;     // second modem node, only watched for existence
    const char *gpio_root;         // sysfs GPIO directory
    const char *proc_root;         // process table
    const char *config_file;       // key-value configuration file
    const char *state_dir;         // what outlives a reboot: the count of modem reboots
    const char *net_if;            // interface whose MAC address is reported
    // GPIO lines, by kernel number (sysfs), all outputs.
    int gpio_modem_reset;    // modem reset, active low; high at rest
    int gpio_startup_pulse;  // pulsed low for 1 s at start-up; high at rest
    int gpio_key_other;      // transmit key of the 434 MHz module; low at rest
    int gpio_key_ludeng;     // transmit key of the 450 MHz module; low at rest
    int gpio_watchdog;       // external watchdog, fed by a 1 s high pulse; low at rest
    // Runs one shell command line ("reboot", "zuzize-vid &"); result as system().
    int (*run_command)(const char *cmdline);
};

extern board_description board;

// The production runner: hands the line to the system shell.
int board_system(const char *cmdline);

// The production values, for tests that restore them.
board_description board_production();
