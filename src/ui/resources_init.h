#pragma once
// Registers the embedded images (":/icon/...") and the English translation
// (":/Translate_EN.qm"). The resource data lives in the static ui library, where
// the linker would drop it unless something references it; calling this pulls it
// into the executable. Safe to call any number of times; call it before the first
// translator load or image lookup.
void hv_init_resources();
