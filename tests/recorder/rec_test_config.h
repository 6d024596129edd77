/* Settings of the in-process recorder tests: the accessors of tvr_config
 * over records a test may change before it starts the recorder. */
#ifndef REC_TEST_CONFIG_H
#define REC_TEST_CONFIG_H

#include "tvr_config.h"

extern record_conf rec_test_record;
extern video_conf rec_test_video;
extern audio_conf rec_test_audio;

#endif
