// A switch for tests of the codec; built only into test builds
// (TWOPASS_TEST_HOOKS).
#pragma once

#ifndef TWOPASS_TEST_HOOKS
#error "codec_testing.h is for test builds, which define TWOPASS_TEST_HOOKS"
#endif

// 0 sends every frame through the drivers' padded intermediate picture, 1
// (the default) converts suitable frames in place. Both must give the same bytes.
void codec_set_direct_conversion(int on);
// 1 codes MP42 with our own version 2 coder, 0 with libavcodec's, from the
// next ICM_COMPRESS_BEGIN that opens a coder. A test that switches sets it
// back to the build's choice, codec_default_own_encoder (codec/driver.h).
void codec_set_own_encoder(int on);
// Threads our own coder codes each picture on (1..16; 2, both cores, by
// default), from the next ICM_COMPRESS_BEGIN that opens a coder. Any count
// must give the same bytes.
void codec_set_encoder_threads(int n);
// 2..31 codes every frame at that quantiser, whatever the rate control
// would choose (the benches' like-for-like comparison of the coders); 0 (the
// default) leaves it to the rate control. From the next frame on.
void codec_set_fixed_quantiser(int qp);
