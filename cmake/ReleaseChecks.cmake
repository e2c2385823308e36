# Static checks of the 32-bit release executable.
