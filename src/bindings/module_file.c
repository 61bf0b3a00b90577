/* One module of the package in a ZEQ_ONE_LIBRARY build: the file the import
   system loads under the module's name. Its code, and PyInit_<module>, live in
   libzeq_crypto_layer.so, which this object names as a dependency; the loader
   looks the init function up in the file and its dependencies. */
typedef int zeq_module_file;
