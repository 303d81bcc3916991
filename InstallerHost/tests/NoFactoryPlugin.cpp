// A loadable module that is not a plug-in: it exports no factory. The host must refuse it.
extern "C" __attribute__((visibility("default"))) int NoFactoryPluginVersion()
{
    return 1;
}
