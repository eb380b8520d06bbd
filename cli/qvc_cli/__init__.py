"""The `qvc` command line: packing, restoring and inspecting packages with qvc_compressor."""
