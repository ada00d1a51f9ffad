// An FFmpeg module from another build: the entry point zemb looks up, with
// the stamp of other headers. zemb must refuse it before using anything else.
struct StaleTable {
    const char* interface;
};

extern "C" __attribute__((visibility("default"))) const StaleTable* zemb_ffmpeg_module()
{
    static const StaleTable table = {"0123456789abcdef"};
    return &table;
}
