"""Python host binding for the DCJ banknote counter driver (MERV_DCJ_QOLT.so).

    import dcj
    driver = dcj.Driver()                       # $DCJ_DRIVER, the build's, or /opt/qolt-dcj
    print(driver.status("127.0.0.1", 1000)["status"])
    names = driver.download("127.0.0.1", 1000, "/srv/fsn/", "/srv/tmp/", "442000034", "10677661")

Failure replies raise ``dcj.DriverError`` with ``.code`` and ``.description``.
Standard library only (ctypes); safe to use from several threads.
"""

from ._driver import (
    BUFFER_TOO_SMALL,
    FIRST_BUFFER,
    INSTALLED_DRIVER,
    LARGEST_BUFFER,
    NO_FILES,
    REPEATABLE,
    SUCCESS,
    Driver,
    DriverError,
    default_driver_path,
)

__all__ = [
    "BUFFER_TOO_SMALL",
    "FIRST_BUFFER",
    "INSTALLED_DRIVER",
    "LARGEST_BUFFER",
    "NO_FILES",
    "REPEATABLE",
    "SUCCESS",
    "Driver",
    "DriverError",
    "default_driver_path",
]
__version__ = "1.1.0"
