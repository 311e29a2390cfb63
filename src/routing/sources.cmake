# Files of src/routing
