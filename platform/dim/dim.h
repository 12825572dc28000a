// The messaging library: named commands and services published by servers, found through
// the name server given by DIM_DNS_NODE / DIM_DNS_PORT (default port 2505).
//
// All handlers, buffer routines, timer routines and client callbacks of one process run one
// at a time on the library's single dispatch thread.
#pragma once

// Command handler: (tag, received bytes, byte count). The data is valid during the call only.
typedef void (*dis_cmnd_handler)(long *tag, void *data, int *size);
// Buffer routine: stores the address and byte size of a service's current contents.
typedef void (*dis_service_routine)(long *tag, void **address, int *size);
// One-shot timer routine; gets the timer's tag.
typedef void (*dtq_timer_routine)(long tag);
// Client callback: (tag, delivered bytes, byte count); gets the fill data while there is no link.
typedef void (*dic_info_callback)(long *tag, void *data, int *size);

enum { ONCE_ONLY = 1, TIMED = 2, MONITORED = 4 };

// Server side.
unsigned dis_add_cmnd_(const char *name, const char *format, dis_cmnd_handler handler, long tag);
int dis_add_service_(const char *name, const char *format, void *address, int size,
                     dis_service_routine routine, long tag);
int dis_update_service_(int service_id);
int dis_start_serving_(const char *server_name);
int dtq_start_timer(int seconds, dtq_timer_routine routine, long tag);
int dtq_stop_timer(long tag);

// Client side.
unsigned dic_info_service_(const char *name, int type, int timeout, void *address, int size,
                           dic_info_callback callback, long tag, void *fill_address, int fill_size);
int dic_cmnd_service_(const char *name, void *data, int size);
