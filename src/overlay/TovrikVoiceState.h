#pragma once

// The phase of the assistant that the companion cursor shows. This is the one
// definition of the type: the overlay sits below the model, so the model, the
// interaction pipeline and the panel include this header rather than
// declaring their own.

namespace tovrik {

#ifndef TOVRIK_VOICE_STATE_DEFINED
#define TOVRIK_VOICE_STATE_DEFINED
enum class TovrikVoiceState { idle, listening, processing, responding };
#endif

} // namespace tovrik
