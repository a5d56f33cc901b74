"""The korvex napari plugin (declared in napari.yaml): a reader for raw SIM stacks, a dock
widget that estimates and reconstructs, a simulated sample and an OME-TIFF writer.

Nothing here is imported by `import korvex`; napari loads these modules when the plugin's
commands first run.
"""
