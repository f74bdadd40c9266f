# The pellfold Python package (python/pellfold, pure Python on libacbc.so.1
# through ctypes): install component `python`, Debian package
# python3-pellfold. Included by PellfoldInstall.cmake after it lists its own
# components.
#
# The package goes where Debian's python3 finds packages of the system
# (/usr/lib/python3/dist-packages for the prefix /usr); for another Python
# set PELLFOLD_PYTHON_DIR, or install with `pip install ./python`.
set(PELLFOLD_PYTHON_DIR lib/python3/dist-packages CACHE PATH
  "Where the pellfold Python package is installed, relative to the prefix")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/pellfold
  DESTINATION ${PELLFOLD_PYTHON_DIR} COMPONENT python
  FILES_MATCHING PATTERN "*.py" PATTERN "py.typed"
  PATTERN "__pycache__" EXCLUDE)

list(APPEND CPACK_COMPONENTS_ALL python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-pellfold)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "libacbc1, python3 (>= 3.9)")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "password-based AES-256 file encryption (Python 3 binding)
The pellfold module encrypts files into ACBC files with AES-256 under a
password, decrypts and re-encrypts them and checks passwords, through
libacbc.so.1; failures raise exceptions and the calls release the GIL.")
