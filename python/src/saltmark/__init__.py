"""Saltmark for Python: the SBD message decoder and the archive.

decode(data) decodes one message from any bytes-like object (bytes, bytearray, memoryview, a
numpy uint8 array) into its report text, camera image and records; decode_file(path) reads
the file first. open_archive(path) reads an archive that saltmark-convert --db or
saltmark-server wrote into pandas and xarray. read_deployment(path) reads a deployment file
(which buoy is which, the data centre's metadata) into dicts.
"""

from ._saltmark import (Message, __version__, decode, decode_file, exported_fields,
                        inertial_line, variable_attributes)
from .archive import Archive, open_archive

__all__ = ["Archive", "Message", "__version__", "decode", "decode_file", "exported_fields",
           "inertial_line", "open_archive", "variable_attributes"]

try:
    from ._saltmark import read_deployment
except ImportError:  # built without yaml-cpp
    pass
else:
    __all__.append("read_deployment")
